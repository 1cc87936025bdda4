// The control models: the ranges they keep, and the lists and their selection. What a
// click runs is driven through the real widgets in tests/view.
#include "toolkit/Controls.h"

#include <gtest/gtest.h>
#include <cstdint>

using namespace toolkit;
using Strings = std::vector<std::string>;

TEST(ComboBox, IndexIsKeptAsSetAndSelectsOnlyAnItemThatExists)
{
    TComboBox combo(nullptr, "SystemAreaComBo");
    EXPECT_EQ(combo.ItemIndex(), -1);
    for (int i = 1; i <= 32; ++i)
        combo.Items()->Add(std::to_string(i * 4) + "MB");
    for (const auto& [set, text] : {std::pair{0, "4MB"}, {31, "128MB"}, {32, ""}, {-1, ""}, {-7, ""}, {INT32_MAX, ""}, {INT32_MIN, ""}}) {
        combo.SetItemIndex(set);
        EXPECT_EQ(std::make_pair(combo.ItemIndex(), combo.Text()), std::make_pair(set, std::string(text))) << "kept as set";
    }
    TStrings& items = *combo.Items();
    EXPECT_EQ(std::tuple(items.Delete(40), items.Insert(40, "x"), items.SetStrings(40, "x"), items.Strings(40),
                         items.SetStrings(31, "128MB")),
              std::tuple(false, false, false, std::string(), true));

    combo.SetItemIndex(5);
    EXPECT_TRUE(combo.Items()->Delete(2));
    combo.Items()->Insert(0, "0MB");
    EXPECT_EQ(std::make_pair(combo.ItemIndex(), combo.Text()), std::make_pair(5, std::string("24MB"))) << "the same item stays selected";
    combo.Items()->Delete(5);
    EXPECT_EQ(combo.ItemIndex(), -1);
    combo.SetItemIndex(40);
    combo.Items()->Delete(0);
    combo.Items()->Insert(0, "0MB");
    EXPECT_EQ(combo.ItemIndex(), 40) << "an index with no item does not move";
    combo.Items()->Assign({"Default", "0", "1", "2"});
    EXPECT_EQ(combo.ItemIndex(), -1) << "a new list selects nothing";

    int changes = 0;
    combo.OnChange = [&](TControl*) { ++changes; };
    combo.SetItemIndex(2);
    EXPECT_EQ(changes, 0) << "setting the index from code runs no handler";
}

TEST(ListBox, SeveralItemsSelectedAndSelectionFollowsEdits)
{
    TListBox list(nullptr, "TntSelectFileList2");
    list.SetMultiSelect(true);
    list.Items()->Assign({"a.bin", "prefer.dat", "image.iso", "song.mp3"});
    int told = 0, moved = 0;  // the view learns of every selection made from code
    list.AddObserver([&](TControl&, Prop p) { told += p == Prop::Selected, moved += p == Prop::ItemIndex; });
    for (int i : {1, 3, 3, 9})
        list.SetSelected(i, true);
    EXPECT_EQ(std::pair(list.SelCount(), told), std::pair(2, 2));
    EXPECT_FALSE(list.Selected(-1) || list.Selected(4));
    for (int i = list.Items()->Count() - 1; i >= 0; --i)  // the remove button's walk
        if (list.Selected(i))
            list.Items()->Delete(i);
    EXPECT_EQ(list.Items()->ToVector(), (Strings{"a.bin", "image.iso"}));
    EXPECT_EQ(list.SelCount(), 0);
    EXPECT_EQ(std::pair(list.Items()->IndexOf("IMAGE.ISO"), list.Items()->IndexOf("none")), std::pair(1, -1));
    list.SetSelected(1, true);
    const int movedBefore = moved;
    list.Items()->Insert(0, "zero");
    const int movedByInsert = moved - movedBefore;
    list.Items()->Add("last");
    EXPECT_TRUE(list.Selected(2));
    EXPECT_EQ(std::tuple(told, movedByInsert, moved - movedBefore), std::tuple(6, 1, 1))
        << "an insert moves the selection, an added item does not";
    list.SelectAll();
    list.ClearSelection();
    list.ClearSelection();
    EXPECT_EQ(std::pair(list.SelCount(), told), std::pair(0, 8)) << "clearing nothing tells nothing";

    TListBox single(nullptr, "TntlstHideFiles");
    single.Items()->Assign({"x", "y"});
    single.SetItemIndex(1);
    single.SetSelected(0, true);
    EXPECT_EQ(std::pair(single.SelCount(), single.ItemIndex()), std::pair(1, 0));
    single.SetSelected(0, false);
    EXPECT_EQ(std::pair(single.SelCount(), single.ItemIndex()), std::pair(0, -1));
    single.SetItemIndex(1);
    single.SetSelected(2, true);  // no such item: nothing changes
    EXPECT_EQ(single.ItemIndex(), 1);
    single.SetItemIndex(5);
    EXPECT_EQ(std::pair(single.SelCount(), single.ItemIndex()), std::pair(0, -1));
    single.Items()->Assign({"x", "y", "z"});
    single.SetItemIndex(2);
    single.Items()->Delete(0);
    EXPECT_EQ(single.ItemIndex(), 1) << "the chosen item stays chosen";
    single.Items()->Insert(1, "w");
    EXPECT_EQ(single.ItemIndex(), 2) << "also past an item inserted in its place";
    single.Items()->Delete(2);
    EXPECT_EQ(single.ItemIndex(), -1) << "a deleted choice leaves none";
}

TEST(RangedControls, GaugeUpDownAndEditStayInRange)
{
    TGauge gauge(nullptr, "ProgressBar1");
    EXPECT_EQ(std::tuple(gauge.MaxValue(), TTrackBar(nullptr, "t").Max(), TUpDown(nullptr, "u").Max()), std::tuple(100, 10, 100))
        << "the class library's ranges, which forms rely on";
    gauge.SetMaxValue(400);
    gauge.SetProgress(405);
    EXPECT_EQ(gauge.Progress(), 400);
    gauge.SetProgress(-3);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(300);
    gauge.SetMaxValue(100);
    EXPECT_EQ(std::pair(gauge.Progress(), gauge.PercentDone()), std::pair(100, 100)) << "a lower maximum pulls it down";
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.PercentDone(), 0) << "an empty range";
    gauge.SetMaxValue(100);
    gauge.SetProgress(30);
    gauge.SetMinValue(150);
    EXPECT_EQ(std::pair(gauge.MinValue(), gauge.Progress()), std::pair(100, 100)) << "held to the maximum, it pulls it up";

    TUpDown ud(nullptr, "UpDownCapError");
    ud.SetMin(1);
    ud.SetPosition(70000);
    ud.SetMax(20);
    EXPECT_EQ(ud.Position(), 20) << "a lower maximum pulls it down";
    int clicks = 0;  // the handler copies the position into its edit box
    ud.OnClick = [&](TControl*) { ++clicks; };
    ud.UserStep(+1);
    EXPECT_EQ(ud.Position(), 20);
    ud.UserStep(-1);
    EXPECT_EQ(std::pair(ud.Position(), clicks), std::pair(19, 2)) << "every step tells the handler, also at the end";
    ud.SetMin(25);
    EXPECT_EQ(ud.Position(), 20) << "a higher minimum, held to the maximum, pulls it up";

    TEdit edit(nullptr, "edtDiskLabel");
    edit.SetMaxLength(2);
    edit.UserSetText("\xE8\xAD\xA6");  // one three-byte character is not split
    EXPECT_EQ(edit.Text(), "");
}
