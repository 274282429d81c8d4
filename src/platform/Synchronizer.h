#pragma once
// The blocking hand-over from a worker thread to the GUI thread.
//
// Synchronize(fn) runs fn on the GUI thread and returns when it has run. The
// GUI thread must never wait for such a worker with a plain join, because the
// worker may be blocked in Synchronize at that very moment; TWorkerThread's
// Join keeps serving hand-over requests while it waits, so it cannot deadlock.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

// From a worker thread: runs fn on the GUI thread and blocks until it has
// run. An exception fn throws goes to the application's error handler on the
// GUI thread; the worker carries on. Called on the GUI thread, fn just runs.
void Synchronize(const std::function<void()>& fn);

// Runs, on the GUI thread, the hand-over requests already queued.
void ServeSynchronizeRequests();

// True on the thread that runs the Qt application (the GUI thread).
bool IsGuiThread();

// A worker thread whose Join may be called on the GUI thread safely.
class TWorkerThread {
  public:
    explicit TWorkerThread(std::function<void()> body);
    ~TWorkerThread(); // joins (serving hand-overs) if still joinable
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    // Blocks until the body has returned, running the hand-over requests of
    // every worker meanwhile; no other events are processed.
    void Join();
    // Lets the thread run on and clean up after itself.
    void Detach();
    bool Finished() const { return finished_->load(); }
    std::thread::id Id() const { return thread_.get_id(); }

  private:
    std::shared_ptr<std::atomic<bool>> finished_;
    std::thread thread_;
};

} // namespace platform
