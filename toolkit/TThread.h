#pragma once
// Worker threads that start suspended and may free themselves when done:
//   auto* t = new ProductThread(...);   // created suspended
//   t->SetFreeOnTerminate(true);
//   t->Resume();                        // Execute() runs on its own thread
// Inside Execute, Synchronize(fn) runs fn on the user-interface thread and waits for it.
// The view installs the dispatcher that gets code onto that thread (SetUiDispatcher);
// without one (tests, tools) Synchronize runs fn at once on the calling thread.
//
// A thread freed on termination deletes itself after Execute and OnTerminate; nobody may
// touch it afterwards (no WaitFor). A thread not freed on termination is waited for by
// its owner (WaitFor) before it is deleted; the destructor also waits, but by then the
// derived part is gone, so Execute must not be running.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace toolkit {

class TThread {
public:
    // Always created suspended, whatever the flag says; Resume starts it.
    explicit TThread(bool createSuspended);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread; later calls do nothing.
    void Resume();
    void Start() { Resume(); }
    void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }
    bool FreeOnTerminate() const { return freeOnTerminate_; }
    // Asks Execute to stop; it looks at Terminated() where it can.
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }
    // Waits until Execute and OnTerminate are done; returns ReturnValue. On the
    // user-interface thread it keeps serving Synchronize calls meanwhile, so a worker
    // that synchronizes cannot deadlock its waiting owner.
    int WaitFor();
    int ReturnValue() const { return returnValue_; }
    void SetReturnValue(int value) { returnValue_ = value; }
    // The text of an exception that escaped Execute ("" when none).
    std::string FatalException() const;

    // Runs on the user-interface thread after Execute (through Synchronize).
    std::function<void(TThread*)> OnTerminate;

    // Runs fn on the user-interface thread and waits for it; an exception thrown by fn is
    // rethrown here.
    static void Synchronize(const std::function<void()>& fn);

    // Threads started and not yet finished (freed ones included).
    static int ActiveCount();
    // Waits until no started thread is left (serving Synchronize on the UI thread).
    static void WaitForAll();

protected:
    virtual void Execute() = 0;

private:
    void run();
    std::thread thread_;
    std::mutex startMutex_;
    std::atomic<bool> started_{false};
    std::atomic<bool> freeOnTerminate_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> returnValue_{0};
    std::string fatal_;
};

// ---- the user-interface thread ----

// Posts a call to the UI thread's event loop (queued, not run at once).
using UiDispatcher = std::function<void(std::function<void()>)>;
// Installs the dispatcher and makes the calling thread the UI thread; null removes it
// (calls still waiting are run at once on the calling thread).
void SetUiDispatcher(UiDispatcher dispatcher);
bool HasUiDispatcher();
// True on the UI thread, and on every thread while no dispatcher is installed.
bool IsUiThread();
// Runs the Synchronize calls waiting for the UI thread (on the UI thread only).
void CheckSynchronize();

// The application object: ProcessMessages lets the UI thread handle what is waiting;
// called from a worker thread it does nothing.
class TApplication {
public:
    void ProcessMessages();
    // The view's own event processing, run by ProcessMessages on the UI thread.
    void SetEventPump(std::function<void()> pump);
    std::string Title() const;
    void SetTitle(std::string title);

private:
    std::function<void()> pump_;
    std::string title_;
};
extern TApplication* Application;

} // namespace toolkit
