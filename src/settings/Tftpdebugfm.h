#pragma once
// The FTP log window "ホームページ更新ＬＯＧ": every log line of the address
// page uploads of this run, in arrival order. It has no behaviour of its
// own; the options dialog writes into it and shows or hides it.
#include "platform/AnsiString.h"

#include <QWidget>
#include <vector>

class QPlainTextEdit;
class QStatusBar;

class Tftpdebugfm : public QWidget {
  public:
    explicit Tftpdebugfm(QWidget* parent = nullptr);
    ~Tftpdebugfm() override;

    // Appends one line, also while the window is hidden.
    void AddLine(const AnsiString& line);
    // The lines so far, as CP932 text.
    std::vector<AnsiString> Lines() const;

    QPlainTextEdit* Memo1;
    QStatusBar* StatusBar1;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    bool placed_ = false;
};
