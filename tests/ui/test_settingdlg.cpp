// The settings dialog: settings into controls at every showing, controls back at Apply,
// list contents, captions, enabling rules, image checks and the Fast Blanking Check flow.
#include "ui/test_settingdlg_fixture.h"

#include "text/MessageCatalogue.h"

#include "ui/isomain.h"

#include <functional>
#include <tuple>

using namespace toolkit;
using Strings = std::vector<std::string>;

namespace {

Strings items(const TComboBox* combo) { return combo->Items()->ToVector(); }

Strings numbers(int from, int to)
{
    Strings out;
    for (int i = from; i <= to; ++i)
        out.push_back(std::to_string(i));
    return out;
}

// One row per setting: store it, check what the dialog shows, edit it, check what Apply stored.
using Step = std::function<void(SettingDlgTest&)>;
struct FieldCase {
    const char* field;
    Step store, expectShown, edit, expectApplied;
};
#define DO(...) [](SettingDlgTest& t) { auto& d = *t.dialog; auto& s = t.s(); (void)d; (void)s; __VA_ARGS__; }

const FieldCase kFieldCases[] = {
    {"iScanLevel", DO(s.iScanLevel = 3), DO(EXPECT_EQ(d.cboScanLevel->Text(), "Level 4")),
     DO(d.cboScanLevel->UserSelect(6)), DO(EXPECT_EQ(s.iScanLevel, 6))},
    {"Pattern", DO(s.iScanLevel = 5; s.Pattern = 418), DO(EXPECT_EQ(d.edtpattern->Text(), "0x01A2")),
     DO(d.edtpattern->UserSetText("$BEEF")), DO(EXPECT_EQ(s.Pattern, 0xBEEF))},
    {"iPageSkip", DO(s.iPageSkip = 7), DO(EXPECT_EQ(d.cboPageSkip->Text(), "7")), DO(d.cboPageSkip->UserSelect(64)),
     DO(EXPECT_EQ(s.iPageSkip, 64))},
    {"iEccLevel", DO(s.iEccLevel = 4), DO(EXPECT_EQ(d.cboECC->Text(), "3")), DO(d.cboECC->UserSelect(0)),
     DO(EXPECT_EQ(s.iEccLevel, 0))},
    {"iBadThreshold", DO(s.iBadThreshold = 30),
     DO(EXPECT_EQ(d.UpDownBadThreshold->Position(), 30); EXPECT_EQ(d.edtBadThreshold->Text(), "30")),
     DO(d.UpDownBadThreshold->UserStep(+1)), DO(EXPECT_EQ(s.iBadThreshold, 31))},
    {"PageMode", DO(s.PageMode = true),
     DO(EXPECT_TRUE(d.chkPageScan->Checked() && d.chkPageScan->Enabled() && d.cboPageMode->Enabled())),
     DO(d.chkPageScan->UserClick()), DO(EXPECT_FALSE(s.PageMode))},
    {"PageModeSel", DO(s.PageModeSel = 7), DO(EXPECT_EQ(d.cboPageMode->Text(), "Auto Detection")),
     DO(d.cboPageMode->UserSelect(2)), DO(EXPECT_EQ(s.PageModeSel, 2))},
    {"eDeviceFeature", DO(s.eDeviceFeature = 1),
     DO(EXPECT_TRUE(d.rdoEncryptDisk->Checked() && d.grpHideDisk->Visible())), DO(d.rdoHideDisk->UserClick()),
     DO(EXPECT_EQ(s.eDeviceFeature, 2))},
    {"iHideDiskRatio", DO(s.eDeviceFeature = 1; s.iHideDiskRatio = 25),
     DO(EXPECT_EQ(d.tbarHideDiskRatio->Position(), 25); EXPECT_EQ(d.edtEncryptRatio->Text(), "25");
        EXPECT_EQ(d.tbarHideDiskRatioSelEnd(), 25)),
     DO(d.tbarHideDiskRatio->SetPosition(40)), DO(EXPECT_EQ(s.iHideDiskRatio, 40))},
    {"sHideDiskLabel", DO(s.eDeviceFeature = 2; s.sHideDiskLabel = "SECRET"),
     DO(EXPECT_EQ(d.edtDiskLabel->Text(), "SECRET")), DO(d.edtDiskLabel->UserSetText("private_disk")),
     DO(EXPECT_EQ(s.sHideDiskLabel, "PRIVATE_"))},
    {"HideFileList", DO(s.HideFileList.Add(t.makeFile("a.txt"))),
     DO(EXPECT_EQ(d.TntlstHideFiles->Items()->ToVector(), Strings{t.dir.file("a.txt")})),
     DO(d.TntlstHideFiles->Items()->Add(t.makeFile("b.txt"))),
     DO(EXPECT_EQ(s.HideFileList.ToVector(), (Strings{t.dir.file("a.txt"), t.dir.file("b.txt")})))},
    {"SpiFileList", DO(s.SpiFileList.Add(t.makeFile("spi.bin"))),
     DO(EXPECT_EQ(d.TntlstSpiFiles->Items()->ToVector(), Strings{t.dir.file("spi.bin")})),
     DO(d.TntlstSpiFiles->Items()->Clear()), DO(EXPECT_EQ(s.SpiFileList.Count(), 0))},
    {"AllowErrorRate", DO(s.AllowErrorRate = 5), DO(EXPECT_EQ(d.edtCapError->Text(), "5")),
     DO(d.UpDownCapError->UserStep(+1)), DO(EXPECT_EQ(s.AllowErrorRate, 6))},
    {"iReadTimes", DO(s.iReadTimes = 2), DO(EXPECT_EQ(d.cboRead->Text(), "1")), DO(d.cboRead->UserSelect(3)),
     DO(EXPECT_EQ(s.iReadTimes, 3))},
    {"DealCapError", DO(s.DealCapError = 1), DO(EXPECT_TRUE(d.rdoCapShowFail->Checked())),
     DO(d.rdoDonotCare->UserClick()), DO(EXPECT_EQ(s.DealCapError, 2))},
    {"bUseImgFile", DO(s.bUseImgFile = true),
     DO(EXPECT_TRUE(d.rdoUseImgFile->Checked() && d.grpImgFile->Visible() && !d.grpHiddenFiles->Visible())),
     DO(d.rdoUseListFile->UserClick()), DO(EXPECT_FALSE(s.bUseImgFile))},
    {"ImageFile", DO(s.ImageFile = "/media/old.img"), DO(EXPECT_EQ(d.edtImgFile->Text(), "/media/old.img")),
     DO(d.edtImgFile->SetText("/media/new.img")), DO(EXPECT_EQ(s.ImageFile, "/media/new.img"))},
    {"SaveSpiImage", DO(s.SaveSpiImage = true), DO(EXPECT_TRUE(d.chkSaveSpiImage->Checked())),
     DO(d.chkSaveSpiImage->UserClick()), DO(EXPECT_FALSE(s.SaveSpiImage))},
    {"bNonFileSystem", DO(s.bNonFileSystem = true), DO(EXPECT_TRUE(d.chkNonFS->Checked())),
     DO(d.chkNonFS->UserClick()), DO(EXPECT_FALSE(s.bNonFileSystem))},
    {"bFastBlankCheck", DO(t.allowFastBlankCheck(); s.bFastBlankCheck = true),
     DO(EXPECT_TRUE(d.chkFastBlkChk->Checked())), DO(d.chkFastBlkChk->UserClick()),  // unticking asks nothing
     DO(EXPECT_FALSE(s.bFastBlankCheck))},
};
#undef DO

class FieldRoundTrip : public SettingDlgTest, public ::testing::WithParamInterface<FieldCase> {};

} // namespace

TEST_P(FieldRoundTrip, ShowCopiesInApplyCopiesBack)
{
    const FieldCase& c = GetParam();
    c.store(*this);
    show();
    c.expectShown(*this);
    c.edit(*this);
    dialog->btnApply->Click();
    EXPECT_EQ(dialog->ModalResult(), mrOk);
    c.expectApplied(*this);
}

INSTANTIATE_TEST_SUITE_P(EveryField, FieldRoundTrip, ::testing::ValuesIn(kFieldCases),
                         [](const auto& info) { return std::string(info.param.field); });

TEST_F(SettingDlgTest, ShowingFillsListsAndCaptionsInEachLanguageAndSelectsTheDevicePage)
{
    const Strings pageModes[3] = {
        {"Specific mode 1", "Specific mode 2", "Even Pages", "Odd pages", "First Half", "Second Half", "All Pages",
         "Auto Detection"},
        {},
        {"特殊页一", "特殊页二", "偶数页", "奇数页", "前半数页", "后半数页", "全部页", "自动侦测"}};
    const std::pair<const char*, int> rows[] = {
        {"grpBlankCheck", 0}, {"lblScanLevel", 1}, {"lblPageSkip", 2}, {"lblReadTimes", 3}, {"lblECCLevel", 4},
        {"btnApply", 5}, {"btnCancel", 6}, {"tabFactorSet", 7}, {"lblCapMultiplier", 9}, {"tabFlashSetting", 8},
        {"lblBadThreshold", 10}, {"btnSaveConfig", 11}, {"btnLoadConfig", 12}, {"tabDeviceSetting", 13},
        {"grpDiskSplit", 14}, {"rdoNormalDisk", 15}, {"rdoEncryptDisk", 16}, {"rdoHideDisk", 17}, {"grpHideDisk", 18},
        {"lblHideRatio", 19}, {"grpHiddenFiles", 20}, {"btnAddFile", 21}, {"btnAddDir", 22}, {"btnRemove", 23},
        {"lblDiskLabel", 24}, {"grpCapacityRule", 48}, {"lblAllowCapError", 49}, {"grpCapErrorDeal", 50},
        {"rdoDegrade", 51}, {"rdoCapShowFail", 52}, {"rdoDonotCare", 53}, {"chkPageScan", 56},
        {"grpSpiHiddenFile", 78}, {"btnAddSpiFile", 21}, {"btnRmvSpiFile", 23}, {"tabSpiSetting", 82},
        {"chkSaveSpiImage", 83}, {"grpImgFile", 62}, {"rdoUseListFile", 63}, {"rdoUseImgFile", 64},
        {"lblImgDiskSize", 67}, {"btnShowImgTool", 69}, {"chkFastBlkChk", 85},
    };
    dialog->pgeSetting->SetActivePageIndex(2);
    s().iFlashModuleNo = 5;
    for (unsigned lang : {0u, 1u, 2u}) {
        SCOPED_TRACE(lang);
        form->LanguageIndex = lang;
        show();
        EXPECT_EQ(items(dialog->cboScanLevel),
                  (Strings{"Level 1", "Level 2", "Level 3", "Level 4", "Level 5", "Level 6", "Level 7"}));
        EXPECT_EQ(items(dialog->cboPageSkip), numbers(0, 64));
        Strings ecc = numbers(0, 6);
        ecc.insert(ecc.begin(), MessageCatalogue(39, lang));
        EXPECT_EQ(items(dialog->cboECC), ecc);
        EXPECT_EQ(items(dialog->cboRead), (Strings{MessageCatalogue(39, lang), "0", "1", "2"}));
        EXPECT_EQ(items(dialog->cboFlashModuleNo), (Strings{"1", "2", "4", "8", "16", "32"}));
        EXPECT_EQ(dialog->pgeSetting->Pages(dialog->pgeSetting->ActivePageIndex()), dialog->tabDeviceSetting);
        EXPECT_TRUE(dialog->cboFlashModuleNo->Visible() && !dialog->pnlFlashModuleNo->Visible());
        EXPECT_EQ(dialog->cboFlashModuleNo->Text(), "32");
        if (lang == 1)
            EXPECT_EQ(items(dialog->cboPageMode)[5], "後半數頁");
        else
            EXPECT_EQ(items(dialog->cboPageMode), pageModes[lang]);
        for (const auto& [name, row] : rows) {
            TControl* c = dialog->FindControl(name);
            ASSERT_NE(c, nullptr) << name;
            EXPECT_EQ(c->Caption(), MessageCatalogue(row, lang)) << name;
        }
        EXPECT_EQ(dialog->chkNonFS->Caption(), "Non FileSystem") << "keeps its form caption";
    }
    EXPECT_EQ(dialog->rdoUseImgFile->Caption(), "映像档");
    EXPECT_FALSE(dialog->btnSaveConfig->Visible() || dialog->btnLoadConfig->Visible());
    EXPECT_EQ(PageModeName(8, 0), std::string());
    EXPECT_EQ(PageModeName(-1, 0), std::string());
    EXPECT_EQ(PageModeName(7, 9), std::string("Auto Detection"));
    EXPECT_EQ(ScanLevelName(99, 1), std::string("Level 7"));
}

TEST_F(SettingDlgTest, StoredValuesOutOfRangeAreBounded)
{
    s().iScanLevel = 9, s().iEccLevel = 9, s().iReadTimes = -1, s().PageModeSel = 12, s().iBadThreshold = 150;
    s().AllowErrorRate = 0, s().DealCapError = 7, s().eDeviceFeature = 5, s().iHideDiskRatio = 0;
    show();
    EXPECT_EQ(dialog->cboScanLevel->Text(), "Level 7");
    EXPECT_EQ((std::vector<int>{dialog->cboECC->ItemIndex(), dialog->cboRead->ItemIndex(),
                                dialog->cboPageMode->ItemIndex(), dialog->tbarHideDiskRatio->Position()}),
              (std::vector<int>{-1, -1, -1, 1}));
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "100");
    EXPECT_EQ(dialog->edtCapError->Text(), "1");
    EXPECT_TRUE(dialog->rdoDonotCare->Checked() && dialog->rdoNormalDisk->Checked());
    dialog->btnApply->Click();
    EXPECT_EQ((std::vector<int>{s().iScanLevel, s().iEccLevel, s().iReadTimes, s().PageModeSel, s().iBadThreshold,
                                s().AllowErrorRate, s().DealCapError, s().eDeviceFeature}),
              (std::vector<int>{6, -1, -1, -1, 100, 1, 2, 0}));

    s().iScanLevel = -1;  // taken as unsigned
    s().iBadThreshold = -5;
    s().AllowErrorRate = 70000;  // a 16-bit position: 4464, then the up-down's 20
    show();
    EXPECT_EQ(dialog->cboScanLevel->Text(), "Level 7");
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "0");
    EXPECT_EQ(dialog->edtCapError->Text(), "20");
}

TEST_F(SettingDlgTest, PageSkipOutOfRangeStopsApplyAfterTheEarlierSteps)
{
    allowFastBlankCheck();
    s().iPageSkip = 70, s().iScanLevel = 5, s().Pattern = 1, s().iBadThreshold = 33;
    show();
    EXPECT_EQ(dialog->cboPageSkip->ItemIndex(), -1);
    dialog->chkFastBlkChk->SetChecked(true);
    dialog->edtpattern->SetText("0x1234");
    dialog->UpDownBadThreshold->UserStep(1);
    EXPECT_EQ(errorOf<ui::EConvertError>([&] { dialog->btnApplyClick(dialog->btnApply); }),
              "'' is not a valid integer value");
    EXPECT_TRUE(s().bFastBlankCheck);
    EXPECT_EQ(s().Pattern, 0x1234);
    EXPECT_EQ(s().iBadThreshold, 33) << "later steps did not run";
    EXPECT_EQ(dialog->ModalResult(), mrNone) << "the dialog stays open";
}

TEST_F(SettingDlgTest, PatternTextsAndScanLevelEnabling)
{
    s().iScanLevel = 5;
    show();
    EXPECT_TRUE(dialog->edtpattern->Enabled() && dialog->Tntlblpattern->Enabled() && dialog->cboRead->Enabled());
    EXPECT_FALSE(dialog->chkPageScan->Enabled());
    for (const char* text : {"0x01A2", "$1A2", "418", "x1a2", "0X1A2", " 418"}) {
        s().Pattern = 0;
        dialog->edtpattern->SetText(text);
        dialog->btnApplyClick(dialog->btnApply);
        EXPECT_EQ(s().Pattern, 418) << text;
    }
    dialog->edtpattern->SetText("12G");
    EXPECT_THROW(dialog->btnApplyClick(dialog->btnApply), ui::EConvertError);

    s().iScanLevel = 2;
    s().Pattern = -1;
    show();
    EXPECT_EQ(dialog->edtpattern->Text(), "0xFFFFFFFF");
    EXPECT_FALSE(dialog->edtpattern->Enabled() || dialog->Tntlblpattern->Enabled() || dialog->cboRead->Enabled());
    dialog->edtpattern->SetText("not a number");
    dialog->btnApplyClick(dialog->btnApply);  // other levels do not read the pattern
    EXPECT_EQ(s().Pattern, -1);

    dialog->cboScanLevel->UserSelect(5);
    EXPECT_TRUE(dialog->edtpattern->Enabled() && dialog->cboRead->Enabled());
    EXPECT_FALSE(dialog->chkPageScan->Enabled() || dialog->cboPageMode->Enabled());
    dialog->cboScanLevel->UserSelect(0);
    EXPECT_FALSE(dialog->edtpattern->Enabled());
    EXPECT_TRUE(dialog->chkPageScan->Enabled() && dialog->cboPageMode->Enabled());
    dialog->chkPageScan->SetChecked(true);
    dialog->chkPageScan->SetChecked(false);
    EXPECT_FALSE(dialog->cboPageMode->Enabled());
}

TEST_F(SettingDlgTest, IntegerParserFollowsThePlatform)
{
    const std::pair<const char*, int32_t> good[] = {{"063182954", 63182954}, {"2147483647", INT32_MAX},
                                                    {"-2147483648", INT32_MIN}, {"0xFFFFFFFF", -1},
                                                    {"-$10", -16}, {"+7", 7}};
    for (const auto& [text, value] : good)
        EXPECT_EQ(ui::StrToInt(text), value) << text;
    for (const char* bad : {"", " ", "2147483648", "-2147483649", "0x100000000", "5 ", "0x", "$", "1.5", "--1"})
        EXPECT_EQ(errorOf<ui::EConvertError>([&] { ui::StrToInt(bad); }),
                  std::string("'") + bad + "' is not a valid integer value");
}

TEST_F(SettingDlgTest, DiskModeRatiosAndTheMainWindowsLabel)
{
    struct Row { unsigned lang; int feature, ratio, shownRatio; const char* label; } rows[] = {
        {0, 2, 100, 99, "Hidden disk99%"}, {0, 1, 100, 100, "Encrypted disk100%"}, {0, 1, 25, 25, "Encrypted disk25%"},
        {1, 2, 35, 35, "隱藏碟35%"},       {2, 1, 35, 35, "加密碟35%"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        form->LanguageIndex = r.lang;
        s().eDeviceFeature = r.feature;
        s().iHideDiskRatio = r.ratio;
        show();
        EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), r.shownRatio);
        EXPECT_EQ(dialog->edtEncryptRatio->Text(), std::to_string(r.shownRatio));
        dialog->btnApply->Click();
        EXPECT_EQ(s().iHideDiskRatio, r.shownRatio);
        EXPECT_EQ(form->labDiskFeature->Caption(), r.label);
    }
    // Switching a full encrypted disk to a hidden one cuts it to 99 at once.
    show();
    dialog->tbarHideDiskRatio->SetPosition(100);
    dialog->rdoHideDisk->UserClick();
    EXPECT_EQ(dialog->edtEncryptRatio->Text(), "99");
    EXPECT_EQ(dialog->tbarHideDiskRatioSelEnd(), 99);

    // A normal disk keeps the ratio and the label.
    form->LanguageIndex = 0;
    s().sHideDiskLabel = "KEEP";
    s().iHideDiskRatio = 30;
    show();
    dialog->edtDiskLabel->SetText("OTHER");
    dialog->tbarHideDiskRatio->SetPosition(50);
    dialog->rdoNormalDisk->UserClick();
    dialog->btnApply->Click();
    EXPECT_EQ(std::tie(s().eDeviceFeature, s().iHideDiskRatio, s().sHideDiskLabel), std::make_tuple(0, 30, "KEEP"));
    EXPECT_EQ(form->labDiskFeature->Caption(), "Normal");
}

TEST_F(SettingDlgTest, ImageChoiceIsCheckedOnlyForEncryptedOrHiddenDisks)
{
    s().eDeviceFeature = 1, s().bUseImgFile = true, s().iScanLevel = 1;
    show();
    dialog->cboScanLevel->UserSelect(4);
    dialog->pgeSetting->SetActivePageIndex(1);
    for (const std::string& bad : {std::string(), dir.file("missing.img"), dir.path()}) {
        SCOPED_TRACE(bad);
        dialogs.Clear();
        dialog->edtImgFile->SetText(bad);
        dialog->btnApply->Click();
        ASSERT_EQ(dialogs.Messages().size(), 1u);
        EXPECT_EQ(dialogs.Messages()[0].text + "|" + dialogs.Messages()[0].caption, "Invalid IMG file|Fail");
        EXPECT_EQ(dialogs.Messages()[0].flags, MB_OK | MB_ICONERROR);
        EXPECT_EQ(dialog->pgeSetting->ActivePageIndex(), 0);
        EXPECT_EQ(dialog->FocusedControl(), dialog->edtImgFile);
        EXPECT_EQ(s().iScanLevel, 1) << "nothing applied";
        EXPECT_EQ(dialog->ModalResult(), mrNone);
    }
    dialog->edtImgFile->SetText(makeFile("disk.img", 3 * 1024 * 1024 + 5));
    dialogs.Clear();
    dialog->btnApply->Click();
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(s().iScanLevel, 4);
    EXPECT_EQ(s().ImageFile, dir.file("disk.img"));

    s().eDeviceFeature = 0;  // a normal disk takes the same choice unchecked
    s().ImageFile.clear();
    show();
    dialog->btnApply->Click();
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(dialog->ModalResult(), mrOk);
}

TEST_F(SettingDlgTest, ImageSizeLabelAndBrowsing)
{
    s().ImageFile = makeFile("main.img", 3 * 1024 * 1024 + 5);
    s().bUseImgFile = true;
    show();
    EXPECT_EQ(dialog->lblImgSizeMB->Caption(), "3MB");
    dialogs.QueueOpenFiles({dir.file("none.img")});
    dialog->btnBrowseImg->Click();
    EXPECT_EQ(dialogs.Messages().at(0).text, "Invalid IMG file");
    EXPECT_EQ(dialog->lblImgSizeMB->Caption() + dialog->edtImgFile->Text(), "3MB" + dir.file("main.img"));
    dialogs.Clear();
    dialogs.QueueOpenFiles({makeFile("other.img", 7 * 1024 * 1024)});
    dialog->btnBrowseImg->Click();
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(dialog->lblImgSizeMB->Caption() + dialog->edtImgFile->Text(), "7MB" + dir.file("other.img"));
    EXPECT_EQ(dialogs.Log().at(0).caption, "Image File *.IMG|*.IMG");
    dialog->btnBrowseImg->Click();  // cancelled: nothing changes
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("other.img"));

    uint64_t size = 77;  // sizes beyond 4 GiB are not cut
    EXPECT_FALSE(GetImgFileSize(dir.file("missing.img"), size) || GetImgFileSize(dir.path(), size));
    EXPECT_EQ(size, 77u) << "untouched on failure";
    std::filesystem::resize_file(makeFile("big.img", 1), 5ull << 30);
    ASSERT_TRUE(GetImgFileSize(dir.file("big.img"), size));
    EXPECT_EQ(size, 5ull << 30);
}

TEST_F(SettingDlgTest, ListsDropGoneEntriesAndTakeAdditionsAndRemovals)
{
    std::filesystem::create_directories(dir.file("folder"));
    std::string file = makeFile("f.txt");
    for (auto* list : {&s().HideFileList, &s().SpiFileList})
        list->Assign({dir.file("folder"), dir.file("gone.txt"), file});
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(s().HideFileList.ToVector(), (Strings{dir.file("folder"), file}));
    EXPECT_EQ(s().SpiFileList.ToVector(), Strings{file}) << "files only";

    show();
    dialog->TntlstHideFiles->Items()->Clear();
    dialogs.QueueOpenFiles({"/a/1.mp3", "/a/2.mp3", "/a/3.mp3"});
    dialog->btnAddFile->Click();
    dialogs.QueueFolder(std::string("/a/folder"));
    dialog->btnAddDir->Click();
    dialog->btnAddDir->Click();  // cancelled
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), (Strings{"/a/1.mp3", "/a/2.mp3", "/a/3.mp3", "/a/folder"}));
    EXPECT_EQ(dialogs.Log().at(1).kind, ScriptedDialogs::Asked::Folder);
    EXPECT_EQ(dialogs.Log().at(1).text, "Select Directory");
    for (int i : {0, 2, 3})
        dialog->TntlstHideFiles->SetSelected(i, true);
    dialog->btnRemove->Click();
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), Strings{"/a/2.mp3"});

    dialogs.Clear();
    dialog->TntlstSpiFiles->Items()->Clear();
    dialogs.QueueOpenFiles({"/n/a.bin", "/n/b.bin"});
    dialog->btnAddSpiFile->Click();
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].caption, "All File Format(*.*)|*.*");
    EXPECT_EQ(dialogs.Log()[0].flags, 1u) << "several files at once";
    dialog->TntlstSpiFiles->SetSelected(1, true);
    dialog->btnRmvSpiFile->Click();
    EXPECT_EQ(dialog->TntlstSpiFiles->Items()->ToVector(), Strings{"/n/a.bin"});

    dialog->chkNonFS->UserClick();
    EXPECT_FALSE(dialog->lblDiskLabel->Enabled() || dialog->edtDiskLabel->Enabled() || dialog->btnAddDir->Enabled());
    EXPECT_TRUE(dialog->btnAddFile->Enabled());
    dialog->chkNonFS->UserClick();
    EXPECT_TRUE(dialog->edtDiskLabel->Enabled() && dialog->btnAddDir->Enabled());
}

TEST_F(SettingDlgTest, PageSkipWarningOncePerClickButNotForZero)
{
    form->LanguageIndex = 1;
    show();
    dialog->cboPageSkip->UserSelect(0);
    EXPECT_TRUE(dialogs.Messages().empty());
    dialog->cboPageSkip->UserSelect(3);
    dialog->cboPageSkip->UserSelect(64);
    ASSERT_EQ(dialogs.Messages().size(), 2u);
    const auto box = dialogs.Messages()[0];
    EXPECT_EQ(box.text + "|" + box.caption, "跳頁掃瞄方式存在閃存不穩性的風險!|警告");
    EXPECT_EQ(box.flags, MB_OK | MB_ICONWARNING);
}

TEST_F(SettingDlgTest, StoredSpecialScanSurvivesAnApplyForAnotherChangeAndCancelKeepsAll)
{
    s().PageMode = true;
    s().PageModeSel = 3;
    show();
    dialog->cboECC->UserSelect(1);
    dialog->btnApply->Click();
    EXPECT_TRUE(s().PageMode);
    EXPECT_EQ(s().PageModeSel, 3);
    s().iScanLevel = 5;  // at the custom level the box stays ticked but cannot be changed
    show();
    EXPECT_TRUE(dialog->chkPageScan->Checked());
    EXPECT_FALSE(dialog->chkPageScan->Enabled() || dialog->cboPageMode->Enabled());

    dialog->cboScanLevel->UserSelect(2);
    dialog->btnCancel->Click();
    EXPECT_EQ(dialog->ModalResult(), mrCancel);
    EXPECT_EQ(s().iScanLevel, 5);
    show();
    EXPECT_EQ(dialog->cboScanLevel->ItemIndex(), 5);
}

TEST_F(SettingDlgTest, ModuleNumberIsWrittenIntoTheFirmwareOnlyWhenChanged)
{
    dir.write("fw.bin", "6205" + std::string(0x97F9, '\0') + "U\xAA" + '\0');
    form->TntSelectFileList2->Items()->Add(dir.file("fw.bin"));
    s().iFlashModuleNo = 0;
    show();
    dialog->cboFlashModuleNo->UserSelect(3);
    dialog->btnApply->Click();
    EXPECT_EQ(s().iFlashModuleNo, 3);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);
    EXPECT_TRUE(dialogs.Messages().empty());

    s().iFlashModuleNo = 7;  // no selection: the main window refuses it and -1 is stored
    show();
    dialog->btnApply->Click();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "nonlegal mulitplier");
    EXPECT_EQ(s().iFlashModuleNo, -1);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);
}

TEST_F(SettingDlgTest, FastBlankCheckWarnsAsksForThePasswordAndNeedsTheRegistryValue)
{
    show();
    std::string typed = "63182954";
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, password.get());
        password->edtpassword->SetText(typed);
        password->Button1->Click();
        return mrCancel;
    };
    dialogs.QueueMessageAnswer(IDNO);  // No unchecks the box, yet the password still decides
    dialog->chkFastBlkChk->UserClick();
    auto log = dialogs.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].text, "Fast Blanking Check cannot guarantee the stablity of data access.\n"
                           "Still want to select this tiem?and must use good flash");
    EXPECT_EQ(log[0].caption, "Warning");
    EXPECT_EQ(log[0].flags, MB_YESNO | MB_ICONWARNING);
    EXPECT_EQ(log[1].kind, ScriptedDialogs::Asked::Modal);
    EXPECT_TRUE(dialog->chkFastBlkChk->Checked());
    dialog->btnApply->Click();
    EXPECT_TRUE(s().bFastBlankCheck);
    show();  // missing registry value: unchecked at every showing, even after a right password
    EXPECT_FALSE(dialog->chkFastBlkChk->Checked());
    for (int value : {0, 7}) {
        allowFastBlankCheck(value);
        show();
        EXPECT_EQ(dialog->chkFastBlkChk->Checked(), value != 0);
    }

    dialogs.Clear();
    dialog->chkFastBlkChk->UserClick();
    EXPECT_TRUE(dialogs.Log().empty()) << "unticking asks nothing";
    dialogs.QueueMessageAnswer(IDYES);
    typed = "12345";
    dialog->chkFastBlkChk->UserClick();
    EXPECT_FALSE(dialog->chkFastBlkChk->Checked());
    ASSERT_EQ(dialogs.Messages().size(), 2u);
    EXPECT_EQ(dialogs.Messages()[1].text, "Password Error! Pls input correct Password");
}

TEST_F(SettingDlgTest, CreateButtonOpensTheImageDialogForTheImageEdit)
{
    show();
    dialog->btnShowImgTool->Click();  // no image dialog: nothing happens
    EXPECT_TRUE(dialogs.Log().empty());
    auto images = std::make_unique<TfrmIsoMain>();
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, images.get());
        images->SettingImgFileEdit->SetText(dir.file("made.img"));  // as after a successful build
        return mrOk;
    };
    dialog->btnShowImgTool->Click();
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("made.img"));
}

// Level 6 with a special scan stored in prefer.ini: the dialog the setup button opens
// offers neither the special scan nor the page mode.
TEST_F(SettingDlgTest, StoredSpecialScanAtTheCustomLevelOpensWithThePageModeDisabled)
{
    for (const char* level : {"5", "2"}) {
        SCOPED_TRACE(level);
        dir.write("misc/prefer.ini", std::string("[MP_Setting]\r\niScanLevel=") + level + "\r\nPageMode=1\r\n");
        form->LoadSettings(".\\misc\\prefer.ini");
        form->SettingForm = dialog.get();
        bool pageScan = false, pageMode = false, pattern = false;
        dialogs.onShowModal = [&](TForm& shown) {
            auto& d = static_cast<TfrmSetting&>(shown);
            pageScan = d.chkPageScan->Enabled(), pageMode = d.cboPageMode->Enabled(), pattern = d.edtpattern->Enabled();
            return int(mrCancel);
        };
        form->btnSetup->Click();
        const bool custom = level[0] == '5';
        EXPECT_EQ((std::vector<bool>{pageScan, pageMode, pattern}), (std::vector<bool>{!custom, !custom, custom}));
    }
}
