// Worker threads and Synchronize onto the user-interface thread.
#include "toolkit/TThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace toolkit {

namespace {

struct SyncTask {
    std::function<void()> fn;
    bool done = false;
    std::exception_ptr error;
    std::condition_variable finished;  // wakes only the thread that waits for this task
};

// One lock for the waiting Synchronize calls, thread ends and the dispatcher; one
// condition for the UI thread's waits, so it wakes for either. Each task has its own
// condition, so a finished task does not wake every other waiting worker.
struct SyncState {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::shared_ptr<SyncTask>> queue;
    UiDispatcher dispatcher;
    std::thread::id uiThread;
    int active = 0;
};

SyncState& state()
{
    static SyncState s;
    return s;
}

bool onUiThreadLocked(SyncState& s)
{
    return !s.dispatcher || std::this_thread::get_id() == s.uiThread;
}

void runTasks()
{
    SyncState& s = state();
    for (;;) {
        std::shared_ptr<SyncTask> task;
        {
            std::lock_guard lock(s.mutex);
            if (s.queue.empty())
                return;
            task = s.queue.front();
            s.queue.pop_front();
        }
        try {
            task->fn();
        } catch (...) {
            task->error = std::current_exception();
        }
        std::lock_guard lock(s.mutex);
        task->done = true;
        task->finished.notify_one();
    }
}

// Waits until done() holds, serving Synchronize calls when on the UI thread.
void waitServing(const std::function<bool()>& done)
{
    SyncState& s = state();
    std::unique_lock lock(s.mutex);
    bool serve = s.dispatcher && std::this_thread::get_id() == s.uiThread;
    for (;;) {
        if (serve && !s.queue.empty()) {
            lock.unlock();
            runTasks();
            lock.lock();
            continue;
        }
        if (done())
            return;
        s.cv.wait(lock);
    }
}

std::mutex g_appMutex;

} // namespace

void SetUiDispatcher(UiDispatcher dispatcher)
{
    SyncState& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.dispatcher = std::move(dispatcher);
        s.uiThread = std::this_thread::get_id();
        s.cv.notify_all();
    }
    // With the dispatcher gone nobody would run what is waiting: run it here.
    if (!HasUiDispatcher())
        runTasks();
}

bool HasUiDispatcher()
{
    SyncState& s = state();
    std::lock_guard lock(s.mutex);
    return static_cast<bool>(s.dispatcher);
}

bool IsUiThread()
{
    SyncState& s = state();
    std::lock_guard lock(s.mutex);
    return onUiThreadLocked(s);
}

void CheckSynchronize()
{
    if (IsUiThread())
        runTasks();
}

// ---- TThread ----

TThread::TThread(bool) {}

TThread::~TThread()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // freeing itself at its end
        return;
    }
    terminated_ = true;
    WaitFor();
}

void TThread::Resume()
{
    if (started_.exchange(true))
        return;
    {
        std::lock_guard lock(state().mutex);
        ++state().active;
    }
    // The new thread must not finish (and free itself) before thread_ is assigned.
    std::lock_guard start(startMutex_);
    thread_ = std::thread([this] {
        { std::lock_guard wait(startMutex_); }
        run();
    });
}

void TThread::run()
{
    try {
        Execute();
    } catch (const std::exception& e) {
        fatal_ = e.what();
    } catch (...) {
        fatal_ = "unknown exception";
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
        }
    }
    bool freeIt = freeOnTerminate_;
    // A freed thread is gone before it stops counting as active, so whoever waits for
    // all threads never sees one still being destroyed.
    if (freeIt)
        delete this;
    SyncState& s = state();
    std::lock_guard lock(s.mutex);
    if (!freeIt)
        finished_ = true;  // from here on a waiting owner may delete us: touch nothing
    --s.active;
    s.cv.notify_all();
}

int TThread::WaitFor()
{
    if (!started_)
        return returnValue_;
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
        return returnValue_;  // a thread cannot wait for itself
    waitServing([this] { return finished_.load(); });
    if (thread_.joinable())
        thread_.join();
    return returnValue_;
}

std::string TThread::FatalException() const
{
    return finished_ ? fatal_ : std::string();
}

void TThread::Synchronize(const std::function<void()>& fn)
{
    SyncState& s = state();
    auto task = std::make_shared<SyncTask>();
    UiDispatcher dispatcher;
    {
        std::lock_guard lock(s.mutex);
        if (onUiThreadLocked(s)) {
            dispatcher = nullptr;
        } else {
            task->fn = fn;
            s.queue.push_back(task);
            dispatcher = s.dispatcher;
            s.cv.notify_all();  // a UI thread inside WaitFor serves it at once
        }
    }
    if (!dispatcher) {
        fn();
        return;
    }
    dispatcher([] { CheckSynchronize(); });
    {
        std::unique_lock lock(s.mutex);
        task->finished.wait(lock, [&] { return task->done; });
    }
    if (task->error)
        std::rethrow_exception(task->error);
}

int TThread::ActiveCount()
{
    std::lock_guard lock(state().mutex);
    return state().active;
}

void TThread::WaitForAll()
{
    waitServing([] { return state().active == 0; });
}

// ---- TApplication ----

void TApplication::ProcessMessages()
{
    if (!IsUiThread())
        return;
    CheckSynchronize();
    std::function<void()> pump;
    {
        std::lock_guard lock(g_appMutex);
        pump = pump_;
    }
    if (pump)
        pump();
}

void TApplication::SetEventPump(std::function<void()> pump)
{
    std::lock_guard lock(g_appMutex);
    pump_ = std::move(pump);
}

std::string TApplication::Title() const
{
    std::lock_guard lock(g_appMutex);
    return title_;
}

void TApplication::SetTitle(std::string title)
{
    std::lock_guard lock(g_appMutex);
    title_ = std::move(title);
}

namespace {
TApplication g_application;
}
TApplication* Application = &g_application;

} // namespace toolkit
