#include "toolkit/Controls.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <gtest/gtest.h>
#include <condition_variable>
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

// A stand-in for the GUI event loop: posted calls wait in a queue until pumped.
struct FakeEventLoop {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> posted;
    void install()
    {
        SetUiDispatcher([this](std::function<void()> fn) {
            std::lock_guard lock(m);
            posted.push_back(std::move(fn));
            cv.notify_all();
        });
    }
    // Runs posted calls until `count` have run.
    void pump(int count)
    {
        for (int done = 0; done < count; ++done) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m);
                cv.wait(lock, [&] { return !posted.empty(); });
                fn = std::move(posted.front());
                posted.pop_front();
            }
            fn();
        }
    }
};

} // namespace

TEST(TThread, StartsOnResumeAndReportsThroughWaitFor)
{
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
    LambdaThread t([](LambdaThread&) { throw std::runtime_error("device gone"); });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(t.FatalException(), "device gone");
}

TEST(TThread, TerminateIsSeenByExecute)
{
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

TEST(Synchronize, RunsInlineWithoutADispatcher)
{
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
    FakeEventLoop loop;
    loop.install();
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
    loop.pump(1);
    loop.pump(1);
    t.WaitFor();
    EXPECT_EQ(where, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(after, 2);
    SetUiDispatcher(nullptr);
}

TEST(Synchronize, WaitForOnTheUiThreadServesTheWorkerInsteadOfDeadlocking)
{
    FakeEventLoop loop;
    loop.install();
    int value = 0;
    LambdaThread t([&](LambdaThread&) {
        for (int i = 0; i < 5; ++i)
            TThread::Synchronize([&] { ++value; });
    });
    t.Resume();
    t.WaitFor();  // the posted wake-ups are never pumped
    EXPECT_EQ(value, 5);
    Application->ProcessMessages();
    SetUiDispatcher(nullptr);
}

TEST(Synchronize, RemovingTheDispatcherReleasesWaitingWorkers)
{
    FakeEventLoop loop;
    loop.install();
    std::atomic<bool> ran{false};
    LambdaThread t([&](LambdaThread&) { TThread::Synchronize([&] { ran = true; }); });
    t.Resume();
    {
        std::unique_lock lock(loop.m);
        loop.cv.wait(lock, [&] { return !loop.posted.empty(); });
    }
    SetUiDispatcher(nullptr);
    t.WaitFor();
    EXPECT_TRUE(ran);
}

TEST(Application, ProcessMessagesIsANoOpOffTheUiThread)
{
    FakeEventLoop loop;
    loop.install();
    int pumped = 0;
    Application->SetEventPump([&] { ++pumped; });
    std::thread worker([] { Application->ProcessMessages(); });
    worker.join();
    EXPECT_EQ(pumped, 0);
    Application->ProcessMessages();
    EXPECT_EQ(pumped, 1);
    Application->SetEventPump(nullptr);
    SetUiDispatcher(nullptr);
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
