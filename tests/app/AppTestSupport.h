#pragma once
// Helpers for the application tests: a private port per test, waits that keep the GUI thread
// serving events, and a reaction to a modal dialog as soon as it is shown.
#include "platform/AnsiString.h"
#include "session/SessionTestSupport.h"
#include "support/BoxCatcher.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace apptest {

using testsupport::TBox;
using testsupport::TBoxCatcher;

// Runs `react` (from the event loop) for every widget of type W shown
// while it lives.
class TOnShow : public QObject {
  public:
    explicit TOnShow(std::function<bool(QWidget*)> react);
    ~TOnShow() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::function<bool(QWidget*)> react_;
};

using sessiontest::FreshPort;
using sessiontest::Sjis;
using sessiontest::Utf8;
using testsupport::WaitUntil;
// Every test uses loopback as the own address and the listening address.
void UseLoopback();

} // namespace apptest
