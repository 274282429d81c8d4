#pragma once
// Resizing of a chat window: the message box takes half of the height it
// shares with the log, but never more than 88 pixels, and the member labels
// are wrapped again to the new width. Watches the window and its splitter,
// so the window itself needs no resize handler.
#include <QObject>
#include <QPointer>
#include <QSize>
#include <functional>

class QSplitter;
class QWidget;

class TchatLayout : public QObject {
  public:
    static constexpr int MaxMemoHeight = 88;

    // `splitter` holds the log (first) and the message box (second).
    // `arrangeMembers` lays the member labels out again; may be empty.
    TchatLayout(QWidget* window, QSplitter* splitter, std::function<void()> arrangeMembers);
    ~TchatLayout() override;
    TchatLayout(const TchatLayout&) = delete;
    TchatLayout& operator=(const TchatLayout&) = delete;

    // Rearranges the members, then shares the splitter's height out.
    void FormResize();
    // The message box's height for `shared` pixels of log plus message box.
    static int MemoHeightFor(int shared);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShareSplitter();

    QPointer<QWidget> Window;
    QPointer<QSplitter> Splitter;
    QSize sharedAt_; // the window size the splitter was last shared for
    std::function<void()> ArrangeMembers;
};
