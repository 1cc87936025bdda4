#include "toolkit/Controls.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>

using namespace toolkit;

namespace {

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body, std::atomic<bool>* destroyed = nullptr)
        : body_(std::move(body)), destroyed_(destroyed) {}
    ~LambdaThread() override
    {
        if (destroyed_)
            *destroyed_ = true;
    }
    using TThread::Synchronize;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(LambdaThread&)> body_;
    std::atomic<bool>* destroyed_;
};

// Ends the test program when a test outlives its limit: a thread test that deadlocks
// fails at once with its name instead of hanging the run. A real-time limit, but nothing
// waits for it when the test passes.
class HangGuard {
public:
    explicit HangGuard(std::chrono::seconds limit = std::chrono::seconds(30))
        : watcher_([this, limit] {
              std::unique_lock lock(m_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
                  std::fprintf(stderr, "%s.%s is stuck: a thread wait never ended\n",
                               info ? info->test_suite_name() : "?", info ? info->name() : "?");
                  std::abort();
              }
          })
    {
    }
    ~HangGuard()
    {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        watcher_.join();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread watcher_;
};

// A stand-in for the GUI event loop: posted calls wait in a queue until pumped. It is the
// dispatcher while it lives, so a failed test never leaves a dangling one behind.
struct FakeEventLoop {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> posted;
    FakeEventLoop()
    {
        SetUiDispatcher([this](std::function<void()> fn) {
            std::lock_guard lock(m);
            posted.push_back(std::move(fn));
            cv.notify_all();
        });
    }
    ~FakeEventLoop() { SetUiDispatcher(nullptr); }
    // Runs posted calls until `count` have run; false when none came within the limit.
    bool pump(int count)
    {
        for (int done = 0; done < count; ++done) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m);
                if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return !posted.empty(); }))
                    return false;
                fn = std::move(posted.front());
                posted.pop_front();
            }
            fn();
        }
        return true;
    }
    // Waits until something has been posted (not run).
    bool waitPosted()
    {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return !posted.empty(); });
    }
};

} // namespace

TEST(TThread, StartsOnResumeAndReportsThroughWaitFor)
{
    HangGuard guard;
    bool ran = false;
    std::atomic<bool> destroyed{false};
    {
        LambdaThread t([&](LambdaThread& self) {
            ran = true;
            EXPECT_FALSE(self.Terminated());
            self.SetReturnValue(7);
        }, &destroyed);
        EXPECT_FALSE(ran);
        t.Resume();
        t.Resume();
        EXPECT_EQ(t.WaitFor(), 7);
        EXPECT_TRUE(t.Finished());
        EXPECT_TRUE(ran);
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(TThread::ActiveCount(), 0);
}

TEST(TThread, FreeOnTerminateDeletesItselfAfterOnTerminate)
{
    HangGuard guard;
    std::atomic<bool> destroyed{false};
    int terminated = 0;
    auto* t = new LambdaThread([](LambdaThread&) {}, &destroyed);
    t->SetFreeOnTerminate(true);
    t->OnTerminate = [&](TThread*) { ++terminated; };
    t->Resume();
    TThread::WaitForAll();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(destroyed) << "deleted before it stopped counting";
}

TEST(TThread, ExceptionInExecuteIsKeptNotFatal)
{
    HangGuard guard;
    LambdaThread t([](LambdaThread&) { throw std::runtime_error("device gone"); });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(t.FatalException(), "device gone");
}

TEST(TThread, TerminateIsSeenByExecute)
{
    HangGuard guard;
    std::atomic<bool> go{false};
    LambdaThread t([&](LambdaThread& self) {
        while (!go)
            std::this_thread::yield();
        self.SetReturnValue(self.Terminated() ? 1 : 0);
    });
    t.Resume();
    t.Terminate();
    go = true;
    EXPECT_EQ(t.WaitFor(), 1);
}

TEST(TThread, NeverStartedOrWaitingForItselfReturnsAtOnce)
{
    HangGuard guard;
    {
        LambdaThread idle([](LambdaThread&) {});
        EXPECT_EQ(idle.WaitFor(), 0);
    }  // destroyed without ever running
    LambdaThread* self = nullptr;
    LambdaThread t([&](LambdaThread& me) {
        me.SetReturnValue(3);
        me.SetReturnValue(me.WaitFor() + 1);  // a thread cannot wait for itself
    });
    self = &t;
    t.Resume();
    EXPECT_EQ(self->WaitFor(), 4);
}

TEST(Synchronize, RunsInlineWithoutADispatcher)
{
    HangGuard guard;
    std::thread::id where;
    LambdaThread t([&](LambdaThread&) { TThread::Synchronize([&] { where = std::this_thread::get_id(); }); });
    t.Resume();
    t.WaitFor();
    EXPECT_NE(where, std::thread::id());
    EXPECT_NE(where, std::this_thread::get_id());
    EXPECT_TRUE(IsUiThread());
}

TEST(Synchronize, RunsOnTheUiThreadAndWaitsThere)
{
    HangGuard guard;
    FakeEventLoop loop;
    std::vector<std::thread::id> where;
    std::atomic<int> after{0};
    LambdaThread t([&](LambdaThread&) {
        TThread::Synchronize([&] { where.push_back(std::this_thread::get_id()); });
        after = 1;  // only after the UI thread ran it
        try {
            TThread::Synchronize([] { throw std::runtime_error("ui failed"); });
        } catch (const std::runtime_error& e) {
            after = std::string(e.what()) == "ui failed" ? 2 : -1;
        }
        EXPECT_FALSE(IsUiThread());
    });
    t.Resume();
    EXPECT_TRUE(loop.pump(2));
    t.WaitFor();
    EXPECT_EQ(where, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(after, 2);
}

TEST(Synchronize, WaitForOnTheUiThreadServesTheWorkerInsteadOfDeadlocking)
{
    HangGuard guard;
    FakeEventLoop loop;
    int value = 0;
    LambdaThread t([&](LambdaThread&) {
        for (int i = 0; i < 5; ++i)
            TThread::Synchronize([&] { ++value; });
    });
    t.Resume();
    t.WaitFor();  // the posted wake-ups are never pumped
    EXPECT_EQ(value, 5);
    Application->ProcessMessages();
}

// Eight workers synchronizing at once, one of them waiting inside its call for another
// worker that synchronizes too: the UI thread serves them all, in whatever order they
// come, and loses none.
TEST(Synchronize, EightWorkersAndANestedWaitAllComeThrough)
{
    HangGuard guard;
    FakeEventLoop loop;
    constexpr int kWorkers = 8, kCalls = 200;
    int total = 0;  // touched only on the UI thread
    std::vector<std::unique_ptr<LambdaThread>> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.push_back(std::make_unique<LambdaThread>([&](LambdaThread&) {
            for (int i = 0; i < kCalls; ++i)
                TThread::Synchronize([&] { ++total; });
        }));
    LambdaThread inner([&](LambdaThread&) { TThread::Synchronize([&] { total += 1000; }); });
    LambdaThread outer([&](LambdaThread&) {
        TThread::Synchronize([&] {
            inner.Resume();
            inner.WaitFor();  // on the UI thread: serves the inner worker meanwhile
        });
    });
    for (auto& w : workers)
        w->Resume();
    outer.Resume();
    TThread::WaitForAll();
    EXPECT_EQ(total, kWorkers * kCalls + 1000);
    EXPECT_EQ(TThread::ActiveCount(), 0);
}

TEST(Synchronize, RemovingTheDispatcherReleasesWaitingWorkers)
{
    HangGuard guard;
    std::atomic<bool> ran{false};
    {
        FakeEventLoop loop;
        LambdaThread t([&](LambdaThread&) { TThread::Synchronize([&] { ran = true; }); });
        t.Resume();
        ASSERT_TRUE(loop.waitPosted());
        SetUiDispatcher(nullptr);
        t.WaitFor();
        EXPECT_TRUE(ran);
    }
    // Workers that synchronize while the dispatcher goes away run inline or are run by
    // the removal; none is left waiting.
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> calls{0};
        FakeEventLoop loop;
        std::vector<std::unique_ptr<LambdaThread>> workers;
        for (int w = 0; w < 4; ++w)
            workers.push_back(std::make_unique<LambdaThread>([&](LambdaThread&) {
                for (int i = 0; i < 50; ++i)
                    TThread::Synchronize([&] { ++calls; });
            }));
        for (auto& w : workers)
            w->Resume();
        SetUiDispatcher(nullptr);
        for (auto& w : workers)
            w->WaitFor();
        EXPECT_EQ(calls, 200);
    }
}

TEST(Application, ProcessMessagesIsANoOpOffTheUiThread)
{
    HangGuard guard;
    FakeEventLoop loop;
    int pumped = 0;
    Application->SetEventPump([&] { ++pumped; });
    std::thread worker([] { Application->ProcessMessages(); });
    worker.join();
    EXPECT_EQ(pumped, 0);
    Application->ProcessMessages();
    EXPECT_EQ(pumped, 1);
    Application->SetEventPump(nullptr);
}

TEST(Dialogs, HeadlessAnswersNeverBlockAndPickTheSafeButton)
{
    SetDialogs(nullptr);
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_YESNO | MB_ICONWARNING), IDNO);
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_OKCANCEL), IDCANCEL);
    EXPECT_TRUE(TheDialogs().OpenFiles({}).empty());
    EXPECT_FALSE(TheDialogs().ChooseFolder("Add Dir", "/").has_value());
    TForm form("frmSetting");
    EXPECT_EQ(form.ShowModal(), mrCancel);
}

TEST(Dialogs, ScriptedAnswersAreUsedInOrderAndEverythingAskedIsRecorded)
{
    ScriptedDialogs fake;
    SetDialogs(&fake);
    fake.QueueMessageAnswer(IDYES);
    fake.QueueOpenFiles({"/a/FW.BIN", "/a/prefer.dat"});
    fake.QueueFolder(std::string("/music"));
    fake.QueueSaveFile(std::nullopt);

    EXPECT_EQ(TheDialogs().MessageBox("Fast?", "Warning", MB_YESNO | MB_ICONWARNING), IDYES);
    EXPECT_EQ(TheDialogs().MessageBox("Again?", "Warning", MB_YESNO | MB_ICONWARNING), IDNO);
    FileDialogOptions open;
    open.title = "Select files";
    open.multiSelect = true;
    EXPECT_EQ(TheDialogs().OpenFiles(open).size(), 2u);
    EXPECT_EQ(TheDialogs().ChooseFolder("Add Dir", ""), std::optional<std::string>("/music"));
    EXPECT_FALSE(TheDialogs().SaveFile({}).has_value());

    TForm form("frmSetting");
    auto* apply = form.Make<TButton>("btnApply");
    int applied = 0;
    apply->OnClick = [&](TControl*) {
        ++applied;
        form.SetModalResult(mrOk);
    };
    bool shown = false;
    form.OnShow = [&](TControl*) { shown = true; };
    fake.onShowModal = [](TForm& f) {
        EXPECT_TRUE(f.Visible());
        f.FindControl("btnApply")->UserClick();
        return f.ModalResult();
    };
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_TRUE(shown);
    EXPECT_EQ(applied, 1);
    EXPECT_FALSE(form.Visible());
    fake.QueueModalResult(mrCancel);
    EXPECT_EQ(form.ShowModal(), mrCancel) << "a queued result overrides";

    auto messages = fake.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "Fast?");
    EXPECT_EQ(messages[0].caption, "Warning");
    EXPECT_EQ(messages[0].flags & MB_ICONMASK, static_cast<uint32_t>(MB_ICONWARNING));
    auto log = fake.Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[2].kind, ScriptedDialogs::Asked::Open);
    EXPECT_EQ(log[5].kind, ScriptedDialogs::Asked::Modal);
    EXPECT_EQ(log[5].text, "frmSetting");
    SetDialogs(nullptr);
}
