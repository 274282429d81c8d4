#pragma once
// SIGTERM and SIGINT end the program the way closing its last chat window
// does: open dialogs are dismissed, every chat window is closed (each saves
// its view and leaves its room), and the main form follows when the last one
// has gone, saving the settings and templates. A second signal while that is
// under way stops the event loop at once; the windows still leave their
// rooms as they are destroyed.
#include <QObject>
#include <QPointer>
#include <QWidget>

class QSocketNotifier;

class TchatQuitSignals : public QObject {
  public:
    // `mainForm` is closed directly when no chat window is open. One
    // instance at a time; it restores the previous handlers when it goes.
    explicit TchatQuitSignals(QWidget* mainForm);
    ~TchatQuitSignals() override;
    TchatQuitSignals(const TchatQuitSignals&) = delete;
    TchatQuitSignals& operator=(const TchatQuitSignals&) = delete;

    // What a signal does, on the GUI thread.
    void CloseAll();
    int Received() const { return received_; }

  private:
    void CloseStep();

    QPointer<QWidget> mainForm_;
    QSocketNotifier* notifier_ = nullptr;
    int received_ = 0;
    int dialogsClosed_ = 0;
};
