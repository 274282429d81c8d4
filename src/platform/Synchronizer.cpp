#include "Synchronizer.h"

#include "ErrorHandler.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {
namespace {

struct Request {
    const std::function<void()>* fn;
    bool done = false;
};

struct Hub {
    std::mutex m;
    std::condition_variable cv; // signalled when a request is queued, served or a worker ends
    std::deque<Request*> queue;
};

Hub& TheHub() {
    static Hub hub;
    return hub;
}

const QEvent::Type kServeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the GUI thread; the posted event makes it serve the queue.
class Server : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() != kServeEvent) return QObject::event(e);
        ServeSynchronizeRequests();
        return true;
    }
};

Server* TheServer() {
    static Server* server = [] {
        auto* s = new Server;
        if (auto* app = QCoreApplication::instance()) s->moveToThread(app->thread());
        return s;
    }();
    return server;
}

} // namespace

bool IsGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void Synchronize(const std::function<void()>& fn) {
    if (IsGuiThread() || !QCoreApplication::instance()) {
        fn();
        return;
    }
    Hub& hub = TheHub();
    Request req{&fn};
    {
        std::lock_guard lock(hub.m);
        hub.queue.push_back(&req);
    }
    hub.cv.notify_all();
    QCoreApplication::postEvent(TheServer(), new QEvent(kServeEvent));
    std::unique_lock lock(hub.m);
    hub.cv.wait(lock, [&] { return req.done; });
}

void ServeSynchronizeRequests() {
    Hub& hub = TheHub();
    for (;;) {
        Request* req;
        {
            std::lock_guard lock(hub.m);
            if (hub.queue.empty()) return;
            req = hub.queue.front();
            hub.queue.pop_front();
        }
        try {
            (*req->fn)();
        } catch (...) {
            HandleCurrentException();
        }
        {
            std::lock_guard lock(hub.m);
            req->done = true;
        }
        hub.cv.notify_all();
    }
}

TWorkerThread::TWorkerThread(std::function<void()> body)
    : finished_(std::make_shared<std::atomic<bool>>(false)) {
    TheServer(); // created on the constructing (GUI) thread before any worker needs it
    thread_ = std::thread([body = std::move(body), finished = finished_] {
        body();
        Hub& hub = TheHub();
        {
            std::lock_guard lock(hub.m);
            finished->store(true);
        }
        hub.cv.notify_all();
    });
}

TWorkerThread::~TWorkerThread() {
    if (thread_.joinable()) Join();
}

void TWorkerThread::Join() {
    if (!thread_.joinable()) return;
    if (std::this_thread::get_id() == thread_.get_id()) {
        thread_.detach(); // a worker cannot wait for itself
        return;
    }
    if (!IsGuiThread()) {
        thread_.join();
        return;
    }
    Hub& hub = TheHub();
    for (;;) {
        ServeSynchronizeRequests();
        std::unique_lock lock(hub.m);
        hub.cv.wait(lock, [&] { return finished_->load() || !hub.queue.empty(); });
        if (finished_->load() && hub.queue.empty()) break;
    }
    thread_.join();
}

void TWorkerThread::Detach() {
    if (thread_.joinable()) thread_.detach();
}

} // namespace platform
