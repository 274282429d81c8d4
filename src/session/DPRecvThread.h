#pragma once
#include <memory>

namespace dplay {
class TDPEvent;
}
namespace platform {
class TWorkerThread;
}
class TCustomDPSession;

// Waits for the session's receive event and hands ReceivePump to the GUI
// thread; it never reads the queue itself.
class TDPRecvThread {
  public:
    // Creates the stop event and gives it to the session; starts nothing yet.
    explicit TDPRecvThread(TCustomDPSession* session);
    ~TDPRecvThread();
    TDPRecvThread(const TDPRecvThread&) = delete;
    TDPRecvThread& operator=(const TDPRecvThread&) = delete;

    void Resume();
    // From outside the pump: stops the thread and waits for it, serving
    // hand-overs meanwhile so a worker waiting in one cannot deadlock us.
    void Terminate();
    // From inside the pump: the thread ends by itself once the running pump
    // returns, and cleans up after itself.
    void Abandon();

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<platform::TWorkerThread> worker_;
};
