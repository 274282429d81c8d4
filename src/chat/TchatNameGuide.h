#pragma once
// The name guide of a chat window: a small list of the members' handles that
// pops up under the caret once a ">" (or the full-width "＞") has stood
// before the caret for 800 ms, so that a name can be put into the message
// box with Enter. The guide never takes the focus from the message box.
#include "platform/AnsiString.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <vector>

class QListWidget;
class QPlainTextEdit;
class QWidget;

class TchatNameGuide : public QObject {
  public:
    // The guide floats over `window` (its parent) and watches `memo`, which
    // must be a descendant of `window`. `handles` lists the handles of all
    // members, the local one included, in member order.
    TchatNameGuide(QWidget* window, QPlainTextEdit* memo,
                   std::function<std::vector<AnsiString>()> handles);
    ~TchatNameGuide() override;
    TchatNameGuide(const TchatNameGuide&) = delete;
    TchatNameGuide& operator=(const TchatNameGuide&) = delete;

    // Marks the message box as modified and schedules CheckGuideTrigger for
    // when the events now pending have run. The key handling calls this for
    // every key the guide did not take; edits and caret moves call it too.
    void MarkModified();

    // Runs once after the message box was marked modified: arms the guide
    // when the character before the caret is a greater-than sign, disarms it
    // otherwise.
    void CheckGuideTrigger();
    // On: (re)starts the 800 ms wait. Off: stops it and hides the guide.
    void ArmGuide(bool on);
    // The wait is over: fills the guide, places it under the caret, shows it.
    void ShowGuideTimerTimer();
    // A key while the guide is visible; returns whether the guide used it.
    bool ListBoxKeyDown(int key);
    // The guide got the focus (a click): hand it straight back.
    void ListBoxEnter();

    // Only the active chat window runs the check; going inactive also
    // disarms the guide and hides it.
    void SetActive(bool active);

    bool Visible() const;
    // The handle now selected, or empty.
    AnsiString SelectedHandle() const;

    // The text after putting `handle` into `text` at byte `caret`: blanks and
    // control codes (0..32) are trimmed from both ends first, and the handle
    // goes `caret` bytes into the trimmed text (moved back to the start of a
    // character it would split). `newCaret` receives the byte position just
    // after the handle.
    static AnsiString InsertHandle(const AnsiString& text, size_t caret, const AnsiString& handle,
                                   size_t& newCaret);

    QListWidget* ListBox = nullptr;
    QTimer* ShowGuideTimer = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void InsertSelected();

    QPointer<QWidget> Window;
    QPointer<QPlainTextEdit> Memo;
    std::function<std::vector<AnsiString>()> Handles;
    QTimer* CheckTimer = nullptr;
    bool Modified = false;
    bool Inserting = false;
    bool Active = true;
};
