#pragma once
// Message boxes caught instead of shown while a TBoxCatcher lives: each is
// recorded and answered with OK, so the code under test goes on as after a
// click and no test blocks on a box.
#include "platform/ErrorHandler.h"

#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct TBox {
    std::string Text; // UTF-8
    QString Caption;
    unsigned Flags;
};

class TBoxCatcher {
  public:
    TBoxCatcher() {
        platform::SetMessageBoxHook(
            [this](const QString& text, const QString& caption, unsigned flags) {
                Boxes.push_back({text.toStdString(), caption, flags});
                if (OnBox) OnBox(Boxes.back());
                return platform::IDOK;
            });
    }
    ~TBoxCatcher() { platform::SetMessageBoxHook({}); }
    TBoxCatcher(const TBoxCatcher&) = delete;
    TBoxCatcher& operator=(const TBoxCatcher&) = delete;

    std::vector<TBox> Boxes;
    // Runs as each box comes, while the code under test waits on it.
    std::function<void(const TBox&)> OnBox;

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const TBox& box : Boxes)
            texts.push_back(box.Text);
        return texts;
    }
};

} // namespace testsupport
