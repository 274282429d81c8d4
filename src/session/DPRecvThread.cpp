#include "DPRecvThread.h"

#include "CustomDPSession.h"
#include "dplay/api/DPEvent.h"
#include "platform/Synchronizer.h"

struct TDPRecvThread::State {
    std::shared_ptr<dplay::TDPEvent> Receive;
    std::shared_ptr<dplay::TDPEvent> Stop;
    // Read and cleared on the GUI thread only; null once the session let go.
    TCustomDPSession* Session = nullptr;
};

TDPRecvThread::TDPRecvThread(TCustomDPSession* session) : state_(std::make_shared<State>()) {
    state_->Receive = session->receiveEvent_;
    state_->Stop = std::make_shared<dplay::TDPEvent>();
    state_->Session = session;
    session->stopEvent_ = state_->Stop;
}

TDPRecvThread::~TDPRecvThread() {
    if (worker_) Terminate();
}

void TDPRecvThread::Resume() {
    if (worker_ || !state_->Receive) return;
    worker_ = std::make_unique<platform::TWorkerThread>([state = state_] {
        for (;;) {
            int which = dplay::TDPEvent::WaitAny({state->Receive.get(), state->Stop.get()});
            if (which != 0) break; // stop, or the wait failed
            platform::Synchronize([&state] {
                if (state->Session) state->Session->ReceivePump();
            });
        }
    });
}

void TDPRecvThread::Terminate() {
    state_->Session = nullptr;
    state_->Stop->Set();
    if (worker_) worker_->Join();
    worker_.reset();
}

void TDPRecvThread::Abandon() {
    state_->Session = nullptr;
    state_->Stop->Set();
    if (worker_) worker_->Detach();
    worker_.reset();
}
