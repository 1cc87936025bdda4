#include "toolkit/Controls.h"

#include <gtest/gtest.h>
#include <cstdint>
#include <thread>

using namespace toolkit;

namespace {

// Records each change as "<name>.<prop>=<value>" in the order observers saw them.
struct Recorder {
    std::vector<std::string> seen;
    std::mutex mutex;
    void watch(TControl& c)
    {
        c.AddObserver([this](TControl& ctl, Prop p) {
            std::string value;
            if (p == Prop::Caption)
                value = ctl.Caption();
            else if (p == Prop::Checked) {
                if (auto* cb = dynamic_cast<TCheckBox*>(&ctl))
                    value = cb->Checked() ? "1" : "0";
                if (auto* rb = dynamic_cast<TRadioButton*>(&ctl))
                    value = rb->Checked() ? "1" : "0";
            } else if (p == Prop::ItemIndex) {
                if (auto* co = dynamic_cast<TComboBox*>(&ctl))
                    value = std::to_string(co->ItemIndex());
                if (auto* lb = dynamic_cast<TListBox*>(&ctl))
                    value = std::to_string(lb->ItemIndex());
            } else if (p == Prop::Progress)
                value = std::to_string(static_cast<TGauge&>(ctl).Progress());
            else if (p == Prop::FontColor)
                value = std::to_string(ctl.Font()->Color());
            else
                value = "*";
            std::lock_guard lock(mutex);
            seen.push_back(ctl.Name() + "." + std::to_string(static_cast<int>(p)) + "=" + value);
        });
    }
};

} // namespace

TEST(CheckBox, CheckedFromCodeRunsTheClickHandlerOnlyOnAChange)
{
    TForm form("Form1");
    auto* chk = form.Make<TCheckBox>("chkFormat");
    int clicks = 0;
    bool seenState = false;
    chk->OnClick = [&](TControl* sender) {
        EXPECT_EQ(sender, chk);
        seenState = chk->Checked();
        ++clicks;
    };
    chk->SetChecked(true);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(seenState) << "the handler sees the new state";
    chk->SetChecked(true);
    EXPECT_EQ(clicks, 1) << "no change, no click";
    chk->SetChecked(false);
    EXPECT_EQ(clicks, 2);
    chk->Click();
    EXPECT_TRUE(chk->Checked());
    EXPECT_EQ(clicks, 3);

    int ups = 0;
    chk->OnMouseUp = [&](TControl*) { ++ups; };
    chk->UserClick();
    EXPECT_FALSE(chk->Checked());
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(ups, 1);
}

TEST(RadioButton, CheckingOneUnchecksItsGroupOnly)
{
    TForm form("Form1");
    auto* lang = form.Make<TGroupBox>("TntGroupBox1");
    auto* autoR = lang->Make<TRadioButton>("TntRdoLangAuto");
    auto* eng = lang->Make<TRadioButton>("TntRdoLangEng");
    auto* sc = lang->Make<TRadioButton>("TntRdoLangSC");
    auto* other = form.Make<TRadioButton>("rdoElsewhere");
    other->SetChecked(true);

    std::vector<std::string> clicks;
    for (auto* r : {autoR, eng, sc})
        r->OnClick = [&clicks](TControl* s) { clicks.push_back(s->Name()); };

    eng->SetChecked(true);
    EXPECT_TRUE(eng->Checked());
    sc->SetChecked(true);
    EXPECT_FALSE(eng->Checked());
    EXPECT_TRUE(sc->Checked());
    EXPECT_FALSE(autoR->Checked());
    EXPECT_TRUE(other->Checked()) << "another parent is another group";

    sc->SetChecked(true);   // already checked: nothing
    sc->SetChecked(false);  // unchecking runs no handler
    autoR->UserClick();
    EXPECT_EQ(clicks, (std::vector<std::string>{"TntRdoLangEng", "TntRdoLangSC", "TntRdoLangAuto"}));
}

TEST(RadioButton, ConcurrentChecksLeaveExactlyOneChecked)
{
    TGroupBox group(nullptr, "grpDiskSplit");
    TRadioButton a(&group, "rdoNormalDisk"), b(&group, "rdoEncryptDisk"), c(&group, "rdoHideDisk");
    TRadioButton* radios[] = {&a, &b, &c};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i)
                radios[(t + i) % 3]->SetChecked(true);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(a.Checked() + b.Checked() + c.Checked(), 1);
}

TEST(ComboBox, IndexIsKeptAsSetAndSelectsOnlyAnItemThatExists)
{
    TComboBox combo(nullptr, "SystemAreaComBo");
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    for (int i = 1; i <= 32; ++i)
        combo.Items()->Add(std::to_string(i * 4) + "MB");
    struct Case {
        int set;
        const char* text;
    } cases[] = {{0, "4MB"}, {31, "128MB"}, {32, ""}, {40, ""}, {-1, ""}, {-7, ""}, {INT32_MAX, ""}, {INT32_MIN, ""}};
    for (const auto& c : cases) {
        combo.SetItemIndex(c.set);
        EXPECT_EQ(combo.ItemIndex(), c.set) << "kept as set";
        EXPECT_EQ(combo.Text(), c.text) << c.set;
    }
    EXPECT_EQ(combo.Items()->Strings(40), "") << "reads past the end are empty";
    EXPECT_FALSE(combo.Items()->Delete(40));

    combo.SetItemIndex(5);
    combo.Items()->Delete(2);
    EXPECT_EQ(combo.ItemIndex(), 4) << "the same item stays selected";
    combo.Items()->Insert(0, "0MB");
    EXPECT_EQ(combo.ItemIndex(), 5);
    EXPECT_EQ(combo.Text(), "24MB") << "the same item stays selected";
    combo.Items()->Delete(5);
    EXPECT_EQ(combo.ItemIndex(), -1);
    combo.SetItemIndex(40);
    combo.Items()->Delete(0);
    combo.Items()->Insert(0, "0MB");
    EXPECT_EQ(combo.ItemIndex(), 40) << "an index with no item does not move";
    combo.Items()->Clear();
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Items()->Count(), 0);

    int changes = 0, clicks = 0;
    combo.OnChange = [&](TControl*) { ++changes; };
    combo.OnClick = [&](TControl*) { ++clicks; };
    combo.Items()->Assign({"Default", "0", "1", "2"});
    combo.SetItemIndex(2);
    EXPECT_EQ(changes, 0) << "setting the index from code runs no handler";
    combo.UserSelect(3);
    EXPECT_EQ(combo.Text(), "2");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(clicks, 1);
}

TEST(ListBox, SeveralItemsSelectedAndSelectionFollowsDeletes)
{
    TListBox list(nullptr, "TntSelectFileList2");
    list.SetMultiSelect(true);
    for (const char* s : {"a.bin", "prefer.dat", "image.iso", "song.mp3"})
        list.Items()->Add(s);
    list.SetSelected(1, true);
    list.SetSelected(3, true);
    list.SetSelected(9, true);  // ignored
    EXPECT_EQ(list.SelCount(), 2);
    EXPECT_FALSE(list.Selected(-1));
    EXPECT_FALSE(list.Selected(4));

    // The remove button's walk, last to first.
    for (int i = list.Items()->Count() - 1; i >= 0; --i)
        if (list.Selected(i))
            list.Items()->Delete(i);
    EXPECT_EQ(list.Items()->ToVector(), (std::vector<std::string>{"a.bin", "image.iso"}));
    EXPECT_EQ(list.SelCount(), 0);
    EXPECT_EQ(list.Items()->IndexOf("IMAGE.ISO"), 1);
    EXPECT_EQ(list.Items()->IndexOf("none"), -1);

    list.Items()->Insert(0, "first");
    list.SetSelected(2, true);
    list.Items()->Insert(0, "zero");
    EXPECT_TRUE(list.Selected(3));
    list.SelectAll();
    EXPECT_EQ(list.SelCount(), 4);
    list.ClearSelection();
    EXPECT_EQ(list.SelCount(), 0);

    TListBox single(nullptr, "TntlstHideFiles");
    single.Items()->Assign({"x", "y"});
    single.SetItemIndex(1);
    EXPECT_TRUE(single.Selected(1));
    single.SetSelected(0, true);
    EXPECT_EQ(single.SelCount(), 1);
    EXPECT_EQ(single.ItemIndex(), 0);
    single.SetItemIndex(5);
    EXPECT_EQ(single.ItemIndex(), -1);
    EXPECT_EQ(single.SelCount(), 0);
}

TEST(RangedControls, GaugeTrackBarAndUpDownStayInRange)
{
    TGauge gauge(nullptr, "ProgressBar1");
    gauge.SetMaxValue(400);
    gauge.SetProgress(405);
    EXPECT_EQ(gauge.Progress(), 400);
    EXPECT_EQ(gauge.PercentDone(), 100);
    gauge.SetProgress(-3);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(300);
    gauge.SetMaxValue(100);
    EXPECT_EQ(gauge.Progress(), 100);
    EXPECT_EQ(gauge.PercentDone(), 100);

    TTrackBar bar(nullptr, "tbarHideDiskRatio");
    bar.SetMax(100);
    bar.SetMin(1);
    int changes = 0;
    bar.OnChange = [&](TControl*) { ++changes; };
    bar.SetPosition(150);
    EXPECT_EQ(bar.Position(), 100);
    bar.SetPosition(0);
    EXPECT_EQ(bar.Position(), 1);
    EXPECT_EQ(changes, 2);

    TUpDown ud(nullptr, "UpDownCapError");
    EXPECT_EQ(ud.Max(), 100);
    ud.SetMin(1);
    ud.SetMax(20);
    ud.SetPosition(70000);
    EXPECT_EQ(ud.Position(), 20);
    int clicks = 0;
    ud.OnClick = [&](TControl*) { ++clicks; };
    ud.UserStep(+1);
    EXPECT_EQ(ud.Position(), 20);
    ud.UserStep(-1);
    EXPECT_EQ(ud.Position(), 19);
    EXPECT_EQ(clicks, 2);
}

TEST(Edit, CodeSetsTextAsIsTypingIsLimitedAndCased)
{
    TEdit edit(nullptr, "edtDiskLabel");
    edit.SetMaxLength(8);
    edit.SetCharCase(TEditCharCase::UpperCase);
    int changes = 0;
    edit.OnChange = [&](TControl*) { ++changes; };
    edit.SetText("lowercase label");
    EXPECT_EQ(edit.Text(), "lowercase label");
    edit.UserSetText("hidden disk");
    EXPECT_EQ(edit.Text(), "HIDDEN D");
    edit.UserSetText("HIDDEN D");
    EXPECT_EQ(changes, 2);
    edit.SetMaxLength(2);
    edit.UserSetText("\xE8\xAD\xA6");  // one three-byte character is not split
    EXPECT_EQ(edit.Text(), "");
}

TEST(Controls, FormFindsItsControlsAndPagesByName)
{
    TForm form("frmSetting");
    auto* pages = form.Make<TPageControl>("pgeSetting");
    auto* dev = pages->Make<TTabSheet>("tabDeviceSetting");
    pages->Make<TTabSheet>("tabFlashSetting");
    auto* group = dev->Make<TGroupBox>("grpDiskSplit");
    auto* radio = group->Make<TRadioButton>("rdoHideDisk");
    EXPECT_EQ(form.FindControl("rdoHideDisk"), radio);
    EXPECT_EQ(radio->Parent(), group);
    EXPECT_EQ(form.FindControl("nothing"), nullptr);
    EXPECT_EQ(pages->PageCount(), 2);
    EXPECT_EQ(pages->Pages(0), dev);
    EXPECT_EQ(pages->Pages(2), nullptr);
    pages->SetActivePageIndex(1);
    pages->SetActivePageIndex(5);
    EXPECT_EQ(pages->ActivePageIndex(), 1);
    int count = 0;
    form.ForEachControl([&](TControl&) { ++count; });
    EXPECT_EQ(count, 5);

    {
        TCheckBox local(group, "chkLocal");
        EXPECT_EQ(group->Controls().size(), 2u);
    }
    EXPECT_EQ(group->Controls().size(), 1u) << "a destroyed control leaves its parent";
    auto orphan = std::make_unique<TLabel>(group, "lblOrphan");
    form.Controls();
    pages->Make<TTabSheet>("tabSpiSetting");
    // Destroying the parent first leaves the non-owned child without a parent.
    auto* g2 = new TGroupBox(nullptr, "grp");
    TLabel lbl(g2, "lbl");
    delete g2;
    EXPECT_EQ(lbl.Parent(), nullptr);
}

TEST(Observers, SeeEveryChangeInOrderAndNothingWhenUnchanged)
{
    TStaticText status(nullptr, "D1infoStr");
    Recorder rec;
    rec.watch(status);
    status.SetCaption("Write FW...");
    status.SetCaption("Write FW...");
    status.Font()->SetColor(clRed);
    status.Font()->SetColor(clRed);
    status.SetCaption("Write FW Fail");
    status.Font()->SetColor(clBtnText);
    status.SetVisible(false);
    EXPECT_EQ(rec.seen, (std::vector<std::string>{
                            "D1infoStr.0=Write FW...", "D1infoStr.5=255", "D1infoStr.0=Write FW Fail",
                            "D1infoStr.5=" + std::to_string(clBtnText), "D1infoStr.4=*"}));

    auto id = status.AddObserver([&](TControl& c, Prop) { c.RemoveObserver(1); });
    status.SetCaption("x");  // the first observer removes itself during the call
    size_t n = rec.seen.size();
    status.SetCaption("y");
    EXPECT_EQ(rec.seen.size(), n);
    status.RemoveObserver(id);
}

TEST(Observers, EightThreadsLoseNoChangeAndEachThreadsChangesStayInOrder)
{
    TGauge gauge(nullptr, "ProgressBar1");
    gauge.SetMaxValue(1 << 30);
    TStaticText counter(nullptr, "TotalStr");
    std::vector<int> seen;
    std::mutex m;
    gauge.AddObserver([&](TControl& c, Prop p) {
        if (p == Prop::Progress) {
            std::lock_guard lock(m);
            seen.push_back(static_cast<TGauge&>(c).Progress());
        }
    });
    constexpr int kThreads = 8, kSteps = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= kSteps; ++i) {
                gauge.SetProgress(t * 100000 + i);  // every value distinct
                // A read-modify-write under the control's lock loses no increment.
                auto lock = counter.Lock();
                counter.SetCaption(std::to_string(std::stoi("0" + counter.Caption()) + 1));
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter.Caption(), std::to_string(kThreads * kSteps));
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kSteps));
    std::vector<int> last(kThreads, 0);
    for (int v : seen) {
        int t = v / 100000, i = v % 100000;
        EXPECT_EQ(i, last[t] + 1) << "thread " << t;
        last[t] = i;
    }
}

TEST(BoundedLookup, TablesAreNeverReadPastTheirEnds)
{
    static const char* const modes[8] = {"m0", "m1", "m2", "m3", "m4", "m5", "m6", "auto"};
    static const char* const none = "";
    EXPECT_STREQ(At(modes, 7, none), "auto");
    EXPECT_STREQ(At(modes, 9, none), "");
    EXPECT_STREQ(At(modes, -1, none), "");
    EXPECT_STREQ(At(modes, 1LL << 40, none), "");
}
