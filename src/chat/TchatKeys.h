#pragma once
// Key routing of a chat window: every key pressed anywhere in the window is
// seen here before the control that has the focus. The name guide gets first
// go while it is visible; Ctrl+S sends, and so does Enter when "Enterで送信する"
// is ticked; a key that sends or that the guide used never types anything.
#include <QObject>
#include <QPointer>
#include <functional>

class QAbstractButton;
class QKeyEvent;
class QPlainTextEdit;
class QWidget;
class TchatNameGuide;

class TchatKeys : public QObject {
  public:
    // `enterSends` is the window's CB_Enter; `guide` may be null.
    TchatKeys(QWidget* window, QAbstractButton* enterSends, TchatNameGuide* guide);
    ~TchatKeys() override;
    TchatKeys(const TchatKeys&) = delete;
    TchatKeys& operator=(const TchatKeys&) = delete;

    // Sends the message box (the window's btn_sendClick). Anything it throws
    // goes to the error box.
    std::function<void()> OnSend;

    // A key went down in the window: routes it and sets the two flags below.
    void FormKeyDown(QKeyEvent* key);
    // Whether the key's character may still reach the focused control.
    bool FormKeyPress() const { return KeyToMemo && KeyNotSent; }

    // The current key was not used by the name guide.
    bool KeyToMemo = true;
    // The current key did not send.
    bool KeyNotSent = true;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Send();
    bool InWindow(QObject* object) const;

    QPointer<QWidget> Window;
    QPointer<QAbstractButton> CB_Enter;
    QPointer<TchatNameGuide> Guide;
    // The key press now travelling up from the focused control to its
    // parents: routed once, at the control it was sent to.
    const QEvent* Routing = nullptr;
    QPointer<QObject> RoutedAt;
};
