#include "toolkit/Controls.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <future>

using namespace toolkit;

namespace {

struct LambdaThread : TThread {
    explicit LambdaThread(std::function<void(LambdaThread&)> b, std::atomic<bool>* d = nullptr)
        : TThread(true), body(std::move(b)), destroyed(d) {}
    ~LambdaThread() override { if (destroyed) *destroyed = true; }
    void Execute() override { body(*this); }
    std::function<void(LambdaThread&)> body;
    std::atomic<bool>* destroyed;
};

// A deadlock aborts the run instead of hanging it; a passing test never waits for the limit.
class Threads : public ::testing::Test {
    std::promise<void> done_;
    std::thread watcher_{[passed = done_.get_future()] {
        if (passed.wait_for(std::chrono::seconds(30)) == std::future_status::timeout)
            std::abort();
    }};

protected:
    ~Threads() override
    {
        done_.set_value();
        watcher_.join();
    }
};

// The GUI event loop: posted calls wait until taken. It is the dispatcher while it lives.
struct FakeEventLoop {
    std::mutex m;
    std::deque<std::function<void()>> posted;
    FakeEventLoop()
    {
        SetUiDispatcher([this](std::function<void()> fn) {
            std::lock_guard lock(m);
            posted.push_back(std::move(fn));
        });
    }
    ~FakeEventLoop() { SetUiDispatcher(nullptr); }
    std::function<void()> next()  // waits for the next posted call
    {
        for (;; std::this_thread::yield()) {
            std::lock_guard lock(m);
            if (!posted.empty()) {
                auto fn = std::move(posted.front());
                posted.pop_front();
                return fn;
            }
        }
    }
};

} // namespace

TEST_F(Threads, LifeCycleFromResumeToWaitForAndFreeOnTerminate)
{
    std::atomic<bool> destroyed{false}, go{false};
    std::thread::id syncedOn;
    {
        LambdaThread idle([](LambdaThread&) {});
        EXPECT_EQ(idle.WaitFor(), 0) << "never started: returns at once";
        LambdaThread t([&](LambdaThread& self) {
            while (!go)
                std::this_thread::yield();
            self.SetReturnValue(self.Terminated() ? 3 : 0);
            TThread::Synchronize([&] { syncedOn = std::this_thread::get_id(); });  // no dispatcher: inline
            self.SetReturnValue(self.WaitFor() + 1);  // a thread cannot wait for itself
        }, &destroyed);
        t.Resume();
        t.Resume();
        t.Terminate();
        go = true;
        EXPECT_EQ(t.WaitFor(), 4);
        EXPECT_TRUE(t.Finished());
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(TThread::ActiveCount(), 0);
    EXPECT_NE(syncedOn, std::thread::id());
    EXPECT_NE(syncedOn, std::this_thread::get_id());

    LambdaThread failing([](LambdaThread&) { throw std::runtime_error("device gone"); });
    failing.Resume();
    failing.WaitFor();
    EXPECT_EQ(failing.FatalException(), "device gone");

    destroyed = false;
    int terminated = 0;
    auto* freed = new LambdaThread([](LambdaThread&) {}, &destroyed);
    freed->SetFreeOnTerminate(true);
    freed->OnTerminate = [&](TThread*) { ++terminated; };
    freed->Resume();
    TThread::WaitForAll();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(destroyed) << "deleted before it stopped counting";
}

TEST_F(Threads, SynchronizeRunsOnTheUiThreadAndPassesItsExceptionAndWaitForServesIt)
{
    FakeEventLoop loop;
    std::thread::id where;
    std::atomic<int> after{0};
    LambdaThread t([&](LambdaThread&) {
        TThread::Synchronize([&] { where = std::this_thread::get_id(); });
        try {
            TThread::Synchronize([] { throw std::runtime_error("ui failed"); });
        } catch (const std::runtime_error& e) {
            after = std::string(e.what()) == "ui failed" ? 2 : -1;
        }
        EXPECT_FALSE(IsUiThread());
    });
    t.Resume();
    loop.next()();
    loop.next()();
    t.WaitFor();
    EXPECT_EQ(where, std::this_thread::get_id());
    EXPECT_EQ(after, 2);

    int value = 0;
    LambdaThread served([&](LambdaThread&) {
        for (int i = 0; i < 5; ++i)
            TThread::Synchronize([&] { ++value; });
    });
    served.Resume();
    served.WaitFor();  // the posted wake-ups are never pumped
    EXPECT_EQ(value, 5);
}

// One worker waits, inside its synchronized call, for another that synchronizes too,
// while others synchronize many times.
TEST_F(Threads, SynchronizingWorkersAndANestedWaitAllComeThrough)
{
    FakeEventLoop loop;
    int total = 0;  // touched only on the UI thread
    LambdaThread inner([&](LambdaThread&) { TThread::Synchronize([&] { total += 1000; }); });
    LambdaThread outer([&](LambdaThread&) {
        TThread::Synchronize([&] {
            inner.Resume();
            inner.WaitFor();
        });
    });
    LambdaThread busy([&](LambdaThread&) {
        for (int i = 0; i < 200; ++i)
            TThread::Synchronize([&] { ++total; });
    });
    busy.Resume();
    outer.Resume();
    TThread::WaitForAll();
    EXPECT_EQ(total, 1200);
    EXPECT_EQ(TThread::ActiveCount(), 0);
}

TEST_F(Threads, RemovingTheDispatcherRunsWhatWaits)
{
    std::atomic<bool> ran{false};
    FakeEventLoop loop;
    LambdaThread t([&](LambdaThread&) { TThread::Synchronize([&] { ran = true; }); });
    t.Resume();
    loop.next();  // posted, never run
    SetUiDispatcher(nullptr);
    t.WaitFor();
    EXPECT_TRUE(ran);
}

TEST(Dialogs, ScriptedAnswersComeInOrderThenTheHeadlessSafeOnes)
{
    ScriptedDialogs fake;
    SetDialogs(&fake);
    fake.QueueMessageAnswer(IDYES);
    fake.QueueOpenFiles({"/a/FW.BIN", "/a/prefer.dat"});
    fake.QueueFolder(std::string("/music"));
    fake.QueueSaveFile(std::string("/a/disk.IMG"));
    EXPECT_EQ(TheDialogs().MessageBox("Fast?", "Warning", MB_YESNO | MB_ICONWARNING), IDYES);
    EXPECT_EQ(TheDialogs().MessageBox("Again?", "Warning", MB_YESNO | MB_ICONWARNING), IDNO);
    EXPECT_EQ(TheDialogs().OpenFiles({}).size(), 2u);
    EXPECT_TRUE(TheDialogs().OpenFiles({}).empty()) << "an empty queue answers as headless";
    EXPECT_EQ(TheDialogs().ChooseFolder("Add Dir", ""), std::optional<std::string>("/music"));
    EXPECT_EQ(TheDialogs().SaveFile({}), std::optional<std::string>("/a/disk.IMG"));
    EXPECT_FALSE(TheDialogs().SaveFile({}) || TheDialogs().ChooseFolder("Add Dir", "")) << "each answer once";

    TForm form("frmSetting");
    int shown = 0;
    form.OnShow = [&](TControl*) { ++shown; };
    form.Make<TButton>("btnApply")->OnClick = [&](TControl*) { form.SetModalResult(mrOk); };
    fake.onShowModal = [](TForm& f) {
        EXPECT_TRUE(f.Visible());
        EXPECT_EQ(f.ModalResult(), mrNone) << "each showing starts undecided";
        f.FindControl("btnApply")->UserClick();
        return f.ModalResult();
    };
    EXPECT_EQ(form.ShowModal(), mrOk) << "the button's handler ran";
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(form.Visible());
    fake.QueueModalResult(mrCancel);
    EXPECT_EQ(form.ShowModal(), mrCancel) << "a queued result overrides";
    EXPECT_EQ(form.ModalResult(), mrCancel);
    EXPECT_EQ(form.ShowModal(), mrOk) << "once";
    fake.QueueModalResult(mrCancel);

    auto messages = fake.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text + "|" + messages[0].caption + "|" + std::to_string(messages[0].flags),
              "Fast?|Warning|" + std::to_string(MB_YESNO | MB_ICONWARNING));
    auto log = fake.Log();
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(std::make_pair(log[2].kind, log[8].kind), std::make_pair(ScriptedDialogs::Asked::Open, ScriptedDialogs::Asked::Modal));
    EXPECT_EQ(log[8].text + "|" + log[10].text, "frmSetting|frmSetting");
    fake.QueueMessageAnswer(IDYES);
    fake.QueueSaveFile(std::string("/disk.IMG"));
    fake.Clear();
    EXPECT_TRUE(fake.Log().empty());
    EXPECT_EQ(form.ShowModal(), mrOk) << "Clear drops the queued answers too";
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_YESNO), IDNO);
    EXPECT_FALSE(TheDialogs().SaveFile({}).has_value());

    SetDialogs(nullptr);
    fake.onShowModal = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[c] t\n") << "a box nobody can see is printed";
    EXPECT_EQ(TheDialogs().MessageBox("t", "c", MB_OKCANCEL), IDCANCEL);
    EXPECT_FALSE(TheDialogs().ChooseFolder("Add Dir", "/").has_value());
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(fake.Log().size(), 3u) << "the fake is no longer asked";
}
