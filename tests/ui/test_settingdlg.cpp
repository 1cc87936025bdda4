// The settings dialog: settings into controls at every showing, controls back at Apply,
// list contents, captions, enabling rules, image checks and the Fast Blanking Check flow.
#include "ui/test_settingdlg_fixture.h"

#include "ui/MessageCatalogue.h"

#include "image/isomain.h"

#include <fstream>
#include <functional>

using namespace toolkit;

namespace {

std::vector<std::string> items(const TComboBox* combo)
{
    return combo->Items()->ToVector();
}

std::vector<std::string> numbers(int from, int to)
{
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i)
        out.push_back(std::to_string(i));
    return out;
}

// One row per setting the dialog edits: how it is stored, what the dialog must show, an
// operator's edit, and what Apply must store.
struct FieldCase {
    const char* field;
    std::function<void(SettingDlgTest&)> store;
    std::function<void(SettingDlgTest&)> expectShown;
    std::function<void(SettingDlgTest&)> edit;
    std::function<void(SettingDlgTest&)> expectApplied;
};

class FieldRoundTrip : public SettingDlgTest, public ::testing::WithParamInterface<FieldCase> {};

const FieldCase kFieldCases[] = {
    {"iScanLevel",
     [](auto& t) { t.s().iScanLevel = 3; },
     [](auto& t) { EXPECT_EQ(t.dialog->cboScanLevel->Text(), "Level 4"); },
     [](auto& t) { t.dialog->cboScanLevel->UserSelect(6); },
     [](auto& t) { EXPECT_EQ(t.s().iScanLevel, 6); }},
    {"Pattern",
     [](auto& t) { t.s().iScanLevel = 5; t.s().Pattern = 418; },
     [](auto& t) { EXPECT_EQ(t.dialog->edtpattern->Text(), "0x01A2"); },
     [](auto& t) { t.dialog->edtpattern->UserSetText("$BEEF"); },
     [](auto& t) { EXPECT_EQ(t.s().Pattern, 0xBEEF); }},
    {"iPageSkip",
     [](auto& t) { t.s().iPageSkip = 7; },
     [](auto& t) { EXPECT_EQ(t.dialog->cboPageSkip->Text(), "7"); },
     [](auto& t) { t.dialog->cboPageSkip->UserSelect(64); },
     [](auto& t) { EXPECT_EQ(t.s().iPageSkip, 64); }},
    {"iEccLevel",
     [](auto& t) { t.s().iEccLevel = 4; },
     [](auto& t) { EXPECT_EQ(t.dialog->cboECC->Text(), "3"); },
     [](auto& t) { t.dialog->cboECC->UserSelect(0); },
     [](auto& t) { EXPECT_EQ(t.s().iEccLevel, 0); }},
    {"iBadThreshold",
     [](auto& t) { t.s().iBadThreshold = 30; },
     [](auto& t) {
         EXPECT_EQ(t.dialog->UpDownBadThreshold->Position(), 30);
         EXPECT_EQ(t.dialog->edtBadThreshold->Text(), "30");
     },
     [](auto& t) { t.dialog->UpDownBadThreshold->UserStep(+1); },
     [](auto& t) { EXPECT_EQ(t.s().iBadThreshold, 31); }},
    {"PageMode",
     [](auto& t) { t.s().PageMode = true; },
     [](auto& t) {
         EXPECT_TRUE(t.dialog->chkPageScan->Checked());
         EXPECT_TRUE(t.dialog->chkPageScan->Enabled());
         EXPECT_TRUE(t.dialog->cboPageMode->Enabled());
     },
     [](auto& t) { t.dialog->chkPageScan->UserClick(); },
     [](auto& t) { EXPECT_FALSE(t.s().PageMode); }},
    {"PageModeSel",
     [](auto& t) { t.s().PageModeSel = 7; },
     [](auto& t) { EXPECT_EQ(t.dialog->cboPageMode->Text(), "Auto Detection"); },
     [](auto& t) { t.dialog->cboPageMode->UserSelect(2); },
     [](auto& t) { EXPECT_EQ(t.s().PageModeSel, 2); }},
    {"eDeviceFeature",
     [](auto& t) { t.s().eDeviceFeature = 1; },
     [](auto& t) {
         EXPECT_TRUE(t.dialog->rdoEncryptDisk->Checked());
         EXPECT_TRUE(t.dialog->grpHideDisk->Visible());
     },
     [](auto& t) { t.dialog->rdoHideDisk->UserClick(); },
     [](auto& t) { EXPECT_EQ(t.s().eDeviceFeature, 2); }},
    {"iHideDiskRatio",
     [](auto& t) { t.s().eDeviceFeature = 1; t.s().iHideDiskRatio = 25; },
     [](auto& t) {
         EXPECT_EQ(t.dialog->tbarHideDiskRatio->Position(), 25);
         EXPECT_EQ(t.dialog->edtEncryptRatio->Text(), "25");
         EXPECT_EQ(t.dialog->tbarHideDiskRatioSelEnd(), 25);
     },
     [](auto& t) { t.dialog->tbarHideDiskRatio->SetPosition(40); },
     [](auto& t) { EXPECT_EQ(t.s().iHideDiskRatio, 40); }},
    {"sHideDiskLabel",
     [](auto& t) { t.s().eDeviceFeature = 2; t.s().sHideDiskLabel = "SECRET"; },
     [](auto& t) { EXPECT_EQ(t.dialog->edtDiskLabel->Text(), "SECRET"); },
     [](auto& t) { t.dialog->edtDiskLabel->UserSetText("private_disk"); },
     [](auto& t) { EXPECT_EQ(t.s().sHideDiskLabel, "PRIVATE_"); }},
    {"HideFileList",
     [](auto& t) { t.s().HideFileList.Add(t.makeFile("a.txt")); },
     [](auto& t) { EXPECT_EQ(t.dialog->TntlstHideFiles->Items()->ToVector(), std::vector<std::string>{t.dir.file("a.txt")}); },
     [](auto& t) { t.dialog->TntlstHideFiles->Items()->Add(t.makeFile("b.txt")); },
     [](auto& t) {
         EXPECT_EQ(t.s().HideFileList.ToVector(), (std::vector<std::string>{t.dir.file("a.txt"), t.dir.file("b.txt")}));
     }},
    {"SpiFileList",
     [](auto& t) { t.s().SpiFileList.Add(t.makeFile("spi.bin")); },
     [](auto& t) { EXPECT_EQ(t.dialog->TntlstSpiFiles->Items()->ToVector(), std::vector<std::string>{t.dir.file("spi.bin")}); },
     [](auto& t) { t.dialog->TntlstSpiFiles->Items()->Clear(); },
     [](auto& t) { EXPECT_EQ(t.s().SpiFileList.Count(), 0); }},
    {"AllowErrorRate",
     [](auto& t) { t.s().AllowErrorRate = 5; },
     [](auto& t) { EXPECT_EQ(t.dialog->edtCapError->Text(), "5"); },
     [](auto& t) { t.dialog->UpDownCapError->UserStep(+1); },
     [](auto& t) { EXPECT_EQ(t.s().AllowErrorRate, 6); }},
    {"iReadTimes",
     [](auto& t) { t.s().iReadTimes = 2; },
     [](auto& t) { EXPECT_EQ(t.dialog->cboRead->Text(), "1"); },
     [](auto& t) { t.dialog->cboRead->UserSelect(3); },
     [](auto& t) { EXPECT_EQ(t.s().iReadTimes, 3); }},
    {"DealCapError",
     [](auto& t) { t.s().DealCapError = 1; },
     [](auto& t) { EXPECT_TRUE(t.dialog->rdoCapShowFail->Checked()); },
     [](auto& t) { t.dialog->rdoDonotCare->UserClick(); },
     [](auto& t) { EXPECT_EQ(t.s().DealCapError, 2); }},
    {"bUseImgFile",
     [](auto& t) { t.s().bUseImgFile = true; },
     [](auto& t) {
         EXPECT_TRUE(t.dialog->rdoUseImgFile->Checked());
         EXPECT_TRUE(t.dialog->grpImgFile->Visible());
         EXPECT_FALSE(t.dialog->grpHiddenFiles->Visible());
     },
     [](auto& t) { t.dialog->rdoUseListFile->UserClick(); },
     [](auto& t) { EXPECT_FALSE(t.s().bUseImgFile); }},
    {"ImageFile",
     [](auto& t) { t.s().ImageFile = "/media/old.img"; },
     [](auto& t) { EXPECT_EQ(t.dialog->edtImgFile->Text(), "/media/old.img"); },
     [](auto& t) { t.dialog->edtImgFile->SetText("/media/new.img"); },
     [](auto& t) { EXPECT_EQ(t.s().ImageFile, "/media/new.img"); }},
    {"SaveSpiImage",
     [](auto& t) { t.s().SaveSpiImage = true; },
     [](auto& t) { EXPECT_TRUE(t.dialog->chkSaveSpiImage->Checked()); },
     [](auto& t) { t.dialog->chkSaveSpiImage->UserClick(); },
     [](auto& t) { EXPECT_FALSE(t.s().SaveSpiImage); }},
    {"bNonFileSystem",
     [](auto& t) { t.s().bNonFileSystem = true; },
     [](auto& t) { EXPECT_TRUE(t.dialog->chkNonFS->Checked()); },
     [](auto& t) { t.dialog->chkNonFS->UserClick(); },
     [](auto& t) { EXPECT_FALSE(t.s().bNonFileSystem); }},
    {"bFastBlankCheck",
     [](auto& t) { t.allowFastBlankCheck(); t.s().bFastBlankCheck = true; },
     [](auto& t) { EXPECT_TRUE(t.dialog->chkFastBlkChk->Checked()); },
     [](auto& t) { t.dialog->chkFastBlkChk->UserClick(); },  // unticking asks nothing
     [](auto& t) { EXPECT_FALSE(t.s().bFastBlankCheck); }},
};

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

TEST_F(SettingDlgTest, ListsHoldTheirEntriesInEachLanguage)
{
    for (unsigned lang : {0u, 1u, 2u}) {
        SCOPED_TRACE(lang);
        form->LanguageIndex = lang;
        show();
        EXPECT_EQ(items(dialog->cboScanLevel),
                  (std::vector<std::string>{"Level 1", "Level 2", "Level 3", "Level 4", "Level 5", "Level 6", "Level 7"}));
        EXPECT_EQ(items(dialog->cboPageSkip), numbers(0, 64));
        std::vector<std::string> ecc = {MessageCatalogue(39, lang)};
        for (auto& n : numbers(0, 6))
            ecc.push_back(n);
        EXPECT_EQ(items(dialog->cboECC), ecc);
        EXPECT_EQ(items(dialog->cboRead), (std::vector<std::string>{MessageCatalogue(39, lang), "0", "1", "2"}));
        EXPECT_EQ(items(dialog->cboFlashModuleNo), (std::vector<std::string>{"1", "2", "4", "8", "16", "32"}));
        EXPECT_EQ(dialog->cboPageMode->Items()->Count(), 8);
    }
    EXPECT_EQ(items(dialog->cboECC)[0], "默认值");
    EXPECT_EQ(items(dialog->cboPageMode),
              (std::vector<std::string>{"特殊页一", "特殊页二", "偶数页", "奇数页", "前半数页", "后半数页", "全部页", "自动侦测"}));
    form->LanguageIndex = 0;
    show();
    EXPECT_EQ(items(dialog->cboPageMode),
              (std::vector<std::string>{"Specific mode 1", "Specific mode 2", "Even Pages", "Odd pages", "First Half",
                                        "Second Half", "All Pages", "Auto Detection"}));
    form->LanguageIndex = 1;
    show();
    EXPECT_EQ(items(dialog->cboECC)[0], "預設值");
    EXPECT_EQ(items(dialog->cboPageMode)[5], "後半數頁");
    EXPECT_EQ(PageModeName(8, 0), std::string());
    EXPECT_EQ(PageModeName(-1, 0), std::string());
    EXPECT_EQ(PageModeName(7, 9), std::string("Auto Detection"));
    EXPECT_EQ(ScanLevelName(99, 1), std::string("Level 7"));
}

TEST_F(SettingDlgTest, CaptionsComeFromTheCatalogueInTheDialogsLanguage)
{
    const std::pair<const char*, int> rows[] = {
        {"grpBlankCheck", 0},     {"lblScanLevel", 1},      {"lblPageSkip", 2},       {"lblReadTimes", 3},
        {"lblECCLevel", 4},       {"btnApply", 5},          {"btnCancel", 6},         {"tabFactorSet", 7},
        {"lblCapMultiplier", 9},  {"tabFlashSetting", 8},   {"lblBadThreshold", 10},  {"btnSaveConfig", 11},
        {"btnLoadConfig", 12},    {"tabDeviceSetting", 13}, {"grpDiskSplit", 14},     {"rdoNormalDisk", 15},
        {"rdoEncryptDisk", 16},   {"rdoHideDisk", 17},      {"grpHideDisk", 18},      {"lblHideRatio", 19},
        {"grpHiddenFiles", 20},   {"btnAddFile", 21},       {"btnAddDir", 22},        {"btnRemove", 23},
        {"lblDiskLabel", 24},     {"grpCapacityRule", 48},  {"lblAllowCapError", 49}, {"grpCapErrorDeal", 50},
        {"rdoDegrade", 51},       {"rdoCapShowFail", 52},   {"rdoDonotCare", 53},     {"chkPageScan", 56},
        {"grpSpiHiddenFile", 78}, {"btnAddSpiFile", 21},    {"btnRmvSpiFile", 23},    {"tabSpiSetting", 82},
        {"chkSaveSpiImage", 83},  {"grpImgFile", 62},       {"rdoUseListFile", 63},   {"rdoUseImgFile", 64},
        {"lblImgDiskSize", 67},   {"btnShowImgTool", 69},   {"chkFastBlkChk", 85},
    };
    ASSERT_EQ(std::size(rows), 43u);
    for (unsigned lang : {0u, 1u, 2u}) {
        form->LanguageIndex = lang;
        show();
        EXPECT_EQ(dialog->LanguageIndex(), lang);
        for (const auto& [name, row] : rows) {
            TControl* c = dialog->FindControl(name);
            ASSERT_NE(c, nullptr) << name;
            EXPECT_EQ(c->Caption(), MessageCatalogue(row, lang)) << name << " in language " << lang;
        }
        // These keep their form captions.
        EXPECT_EQ(dialog->chkNonFS->Caption(), "Non FileSystem");
        EXPECT_EQ(dialog->Tntlblpattern->Caption(), "Pattern");
        EXPECT_EQ(dialog->Label1->Caption(), "%");
        EXPECT_EQ(dialog->Label3->Caption(), "%");
    }
    EXPECT_EQ(dialog->lblReadTimes->Caption(), "Read Times") << "the Simplified column holds English";
    EXPECT_EQ(dialog->rdoUseImgFile->Caption(), "映像档");
    form->LanguageIndex = 0;
    show();
    EXPECT_EQ(dialog->chkFastBlkChk->Caption(), "Fast Blanking Check");
    EXPECT_EQ(dialog->tabFactorSet->Caption(), "Factory Setting");
    EXPECT_FALSE(dialog->btnSaveConfig->Visible());
    EXPECT_FALSE(dialog->btnLoadConfig->Visible());
}

TEST_F(SettingDlgTest, ShowingSelectsTheDevicePageAndOffersTheModuleList)
{
    dialog->pgeSetting->SetActivePageIndex(2);
    s().iFlashModuleNo = 5;
    show();
    EXPECT_EQ(dialog->pgeSetting->ActivePageIndex(), 0);
    EXPECT_EQ(dialog->pgeSetting->Pages(0), dialog->tabDeviceSetting);
    EXPECT_TRUE(dialog->cboFlashModuleNo->Visible());
    EXPECT_FALSE(dialog->pnlFlashModuleNo->Visible());
    EXPECT_EQ(dialog->cboFlashModuleNo->Left(), dialog->lblCapMultiplier->Left());
    EXPECT_EQ(dialog->cboFlashModuleNo->Text(), "32");
}

TEST_F(SettingDlgTest, StoredValuesOutOfRangeAreBounded)
{
    s().iScanLevel = 9;
    s().iEccLevel = 9;
    s().iReadTimes = -1;
    s().PageModeSel = 12;
    s().iBadThreshold = 150;
    s().AllowErrorRate = 0;
    s().DealCapError = 7;
    s().eDeviceFeature = 5;
    s().iHideDiskRatio = 0;
    show();
    EXPECT_EQ(dialog->cboScanLevel->Text(), "Level 7");
    EXPECT_EQ(dialog->cboECC->ItemIndex(), -1);
    EXPECT_EQ(dialog->cboRead->ItemIndex(), -1);
    EXPECT_EQ(dialog->cboPageMode->ItemIndex(), -1);
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "100");
    EXPECT_EQ(dialog->edtCapError->Text(), "1");
    EXPECT_TRUE(dialog->rdoDonotCare->Checked());
    EXPECT_TRUE(dialog->rdoNormalDisk->Checked());
    EXPECT_FALSE(dialog->grpHideDisk->Visible());
    EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), 1);
    dialog->btnApply->Click();
    EXPECT_EQ(s().iScanLevel, 6);
    EXPECT_EQ(s().iEccLevel, -1);
    EXPECT_EQ(s().iReadTimes, -1);
    EXPECT_EQ(s().PageModeSel, -1);
    EXPECT_EQ(s().iBadThreshold, 100);
    EXPECT_EQ(s().AllowErrorRate, 1);
    EXPECT_EQ(s().DealCapError, 2);
    EXPECT_EQ(s().eDeviceFeature, 0);

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
    s().iPageSkip = 70;
    s().iScanLevel = 5;
    s().Pattern = 1;
    s().iBadThreshold = 33;
    show();
    EXPECT_EQ(dialog->cboPageSkip->ItemIndex(), -1);
    dialog->chkFastBlkChk->SetChecked(true);
    dialog->edtpattern->SetText("0x1234");
    dialog->UpDownBadThreshold->UserStep(1);
    try {
        dialog->btnApplyClick(dialog->btnApply);
        FAIL() << "no conversion error";
    } catch (const ui::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_TRUE(s().bFastBlankCheck);
    EXPECT_EQ(s().iScanLevel, 5);
    EXPECT_EQ(s().Pattern, 0x1234);
    EXPECT_EQ(s().iBadThreshold, 33) << "later steps did not run";
    EXPECT_EQ(dialog->ModalResult(), mrNone) << "the dialog stays open";
}

TEST_F(SettingDlgTest, PatternTextsAndScanLevelEnabling)
{
    s().iScanLevel = 5;
    s().Pattern = 418;
    show();
    EXPECT_EQ(dialog->edtpattern->Text(), "0x01A2");
    EXPECT_TRUE(dialog->edtpattern->Enabled());
    EXPECT_TRUE(dialog->Tntlblpattern->Enabled());
    EXPECT_TRUE(dialog->cboRead->Enabled());
    EXPECT_FALSE(dialog->chkPageScan->Enabled());
    for (const char* text : {"0x01A2", "$1A2", "418", "x1a2", "0X1A2", " 418"}) {
        SCOPED_TRACE(text);
        s().Pattern = 0;
        dialog->edtpattern->SetText(text);
        dialog->btnApplyClick(dialog->btnApply);
        EXPECT_EQ(s().Pattern, 418);
    }
    dialog->edtpattern->SetText("12G");
    EXPECT_THROW(dialog->btnApplyClick(dialog->btnApply), ui::EConvertError);

    s().iScanLevel = 2;
    s().Pattern = -1;
    show();
    EXPECT_EQ(dialog->edtpattern->Text(), "0xFFFFFFFF");
    EXPECT_FALSE(dialog->edtpattern->Enabled());
    EXPECT_FALSE(dialog->Tntlblpattern->Enabled());
    EXPECT_FALSE(dialog->cboRead->Enabled());
    EXPECT_TRUE(dialog->chkPageScan->Enabled());
    dialog->edtpattern->SetText("not a number");
    dialog->btnApplyClick(dialog->btnApply);  // other levels do not read the pattern
    EXPECT_EQ(s().Pattern, -1);

    // Choosing the custom level switches the pattern on and the special scan off.
    dialog->cboScanLevel->UserSelect(5);
    EXPECT_TRUE(dialog->edtpattern->Enabled());
    EXPECT_TRUE(dialog->cboRead->Enabled());
    EXPECT_FALSE(dialog->chkPageScan->Enabled());
    EXPECT_FALSE(dialog->cboPageMode->Enabled());
    dialog->cboScanLevel->UserSelect(0);
    EXPECT_FALSE(dialog->edtpattern->Enabled());
    EXPECT_TRUE(dialog->chkPageScan->Enabled());
    EXPECT_TRUE(dialog->cboPageMode->Enabled());
    dialog->chkPageScan->SetChecked(true);
    EXPECT_TRUE(dialog->cboPageMode->Enabled());
    dialog->chkPageScan->SetChecked(false);
    EXPECT_FALSE(dialog->cboPageMode->Enabled());
}

TEST_F(SettingDlgTest, IntegerParserFollowsThePlatform)
{
    EXPECT_EQ(ui::StrToInt("063182954"), 63182954);
    EXPECT_EQ(ui::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(ui::StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(ui::StrToInt("0xFFFFFFFF"), -1);
    EXPECT_EQ(ui::StrToInt("-$10"), -16);
    EXPECT_EQ(ui::StrToInt("+7"), 7);
    for (const char* bad : {"", " ", "2147483648", "-2147483649", "0x100000000", "5 ", "0x", "$", "1.5", "--1"}) {
        SCOPED_TRACE(bad);
        try {
            ui::StrToInt(bad);
            ADD_FAILURE() << "accepted";
        } catch (const ui::EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST_F(SettingDlgTest, HiddenAndEncryptedRatios)
{
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 100;
    show();
    EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), 99);
    EXPECT_EQ(dialog->edtEncryptRatio->Text(), "99");
    dialog->btnApply->Click();
    EXPECT_EQ(s().iHideDiskRatio, 99);
    EXPECT_EQ(form->labDiskFeature->Caption(), "Hidden disk99%");

    // An encrypted disk may take it all, even after a hidden-disk showing.
    s().eDeviceFeature = 1;
    s().iHideDiskRatio = 100;
    show();
    EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), 100);
    EXPECT_EQ(dialog->tbarHideDiskRatio->Max(), 100);
    // Switching to a hidden disk cuts it to 99 at once.
    dialog->rdoHideDisk->UserClick();
    EXPECT_EQ(dialog->edtEncryptRatio->Text(), "99");
    EXPECT_EQ(dialog->tbarHideDiskRatioSelEnd(), 99);
}

TEST_F(SettingDlgTest, DiskModeLabelOfTheMainWindow)
{
    s().eDeviceFeature = 1;
    s().iHideDiskRatio = 25;
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(form->labDiskFeature->Caption(), "Encrypted disk25%");

    s().sHideDiskLabel = "KEEP";
    s().iHideDiskRatio = 30;
    show();
    dialog->edtDiskLabel->SetText("OTHER");
    dialog->tbarHideDiskRatio->SetPosition(50);
    dialog->rdoNormalDisk->UserClick();
    EXPECT_FALSE(dialog->grpHideDisk->Visible());
    dialog->btnApply->Click();
    EXPECT_EQ(s().eDeviceFeature, 0);
    EXPECT_EQ(s().iHideDiskRatio, 30) << "normal mode keeps the ratio";
    EXPECT_EQ(s().sHideDiskLabel, "KEEP") << "and the label";
    EXPECT_EQ(form->labDiskFeature->Caption(), "Normal");

    form->LanguageIndex = 1;
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 35;
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(form->labDiskFeature->Caption(), "隱藏碟35%");
    form->LanguageIndex = 2;
    s().eDeviceFeature = 1;
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(form->labDiskFeature->Caption(), "加密碟35%");
}

TEST_F(SettingDlgTest, ImageChoiceIsCheckedOnlyForEncryptedOrHiddenDisks)
{
    s().eDeviceFeature = 1;
    s().bUseImgFile = true;
    s().iScanLevel = 1;
    show();
    dialog->cboScanLevel->UserSelect(4);
    dialog->pgeSetting->SetActivePageIndex(1);
    const std::string folder = dir.path();
    for (const std::string& bad : {std::string(), dir.file("missing.img"), folder}) {
        SCOPED_TRACE(bad);
        dialogs.Clear();
        dialog->edtImgFile->SetText(bad);
        dialog->btnApply->Click();
        ASSERT_EQ(dialogs.Messages().size(), 1u);
        EXPECT_EQ(dialogs.Messages()[0].text, "Invalid IMG file");
        EXPECT_EQ(dialogs.Messages()[0].caption, "Fail");
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

    // A normal disk takes the same choice unchecked.
    s().eDeviceFeature = 0;
    s().ImageFile.clear();
    show();
    dialogs.Clear();
    dialog->btnApply->Click();
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(dialog->ModalResult(), mrOk);
    EXPECT_TRUE(s().bUseImgFile);
}

TEST_F(SettingDlgTest, ImageSizeLabelAndBrowsing)
{
    s().ImageFile = makeFile("main.img", 3 * 1024 * 1024 + 5);
    s().bUseImgFile = true;
    show();
    EXPECT_EQ(dialog->lblImgSizeMB->Caption(), "3MB");
    EXPECT_EQ(dialog->grpImgFile->Left(), 16);
    EXPECT_EQ(dialog->grpImgFile->Top(), 88);

    dialogs.QueueOpenFiles({dir.file("none.img")});
    dialog->btnBrowseImg->Click();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "Invalid IMG file");
    EXPECT_EQ(dialog->lblImgSizeMB->Caption(), "3MB");
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("main.img"));

    dialogs.Clear();
    dialogs.QueueOpenFiles({makeFile("other.img", 7 * 1024 * 1024)});
    dialog->btnBrowseImg->Click();
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(dialog->lblImgSizeMB->Caption(), "7MB");
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("other.img"));
    auto log = dialogs.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].kind, ScriptedDialogs::Asked::Open);
    EXPECT_EQ(log[0].caption, "Image File *.IMG|*.IMG");

    dialogs.Clear();
    dialog->btnBrowseImg->Click();  // cancelled: nothing changes
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("other.img"));
}

TEST_F(SettingDlgTest, ImageFileSizeIs64Bit)
{
    uint64_t size = 77;
    EXPECT_FALSE(GetImgFileSize(dir.file("missing.img"), size));
    EXPECT_FALSE(GetImgFileSize(dir.path(), size));
    EXPECT_EQ(size, 77u) << "untouched on failure";
    std::string big = dir.file("big.img");
    std::filesystem::resize_file(makeFile("big.img", 1), 5ull * 1024 * 1024 * 1024);
    ASSERT_TRUE(GetImgFileSize(big, size));
    EXPECT_EQ(size, 5ull * 1024 * 1024 * 1024);
}

TEST_F(SettingDlgTest, StoredListsDropEntriesGoneFromTheDisk)
{
    std::filesystem::create_directories(dir.file("folder"));
    std::string file = makeFile("f.txt");
    for (auto* list : {&s().HideFileList, &s().SpiFileList}) {
        list->Add(dir.file("folder"));
        list->Add(dir.file("gone.txt"));
        list->Add(file);
    }
    show();
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), (std::vector<std::string>{dir.file("folder"), file}));
    EXPECT_EQ(dialog->TntlstSpiFiles->Items()->ToVector(), std::vector<std::string>{file});
    dialog->btnApply->Click();
    EXPECT_EQ(s().HideFileList.ToVector(), (std::vector<std::string>{dir.file("folder"), file}));
    EXPECT_EQ(s().SpiFileList.ToVector(), std::vector<std::string>{file});
}

TEST_F(SettingDlgTest, AddingAndRemovingListEntries)
{
    show();
    dialogs.QueueOpenFiles({"/a/1.mp3", "/a/2.mp3", "/a/3.mp3"});
    dialog->btnAddFile->Click();
    dialogs.QueueFolder(std::string("/a/folder"));
    dialog->btnAddDir->Click();
    dialog->btnAddDir->Click();  // cancelled
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(),
              (std::vector<std::string>{"/a/1.mp3", "/a/2.mp3", "/a/3.mp3", "/a/folder"}));
    auto log = dialogs.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].kind, ScriptedDialogs::Asked::Folder);
    EXPECT_EQ(log[1].text, "Select Directory");
    dialog->TntlstHideFiles->SetSelected(0, true);
    dialog->TntlstHideFiles->SetSelected(2, true);
    dialog->TntlstHideFiles->SetSelected(3, true);
    dialog->btnRemove->Click();
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), std::vector<std::string>{"/a/2.mp3"});

    dialogs.Clear();
    dialogs.QueueOpenFiles({"/n/a.bin", "/n/b.bin"});
    dialog->btnAddSpiFile->Click();
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].caption, "All File Format(*.*)|*.*");
    EXPECT_EQ(dialogs.Log()[0].flags, 1u) << "several files at once";
    dialog->TntlstSpiFiles->SetSelected(1, true);
    dialog->btnRmvSpiFile->Click();
    EXPECT_EQ(dialog->TntlstSpiFiles->Items()->ToVector(), std::vector<std::string>{"/n/a.bin"});
}

TEST_F(SettingDlgTest, PageSkipWarningOncePerClickButNotForZero)
{
    form->LanguageIndex = 1;
    show();
    dialog->cboPageSkip->UserSelect(0);
    EXPECT_TRUE(dialogs.Messages().empty());
    dialog->cboPageSkip->UserSelect(3);
    dialog->cboPageSkip->UserSelect(64);
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "跳頁掃瞄方式存在閃存不穩性的風險!");
    EXPECT_EQ(boxes[0].caption, "警告");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONWARNING);
}

TEST_F(SettingDlgTest, NonFileSystemDisablesLabelAndFolders)
{
    show();
    dialog->chkNonFS->UserClick();
    EXPECT_FALSE(dialog->lblDiskLabel->Enabled());
    EXPECT_FALSE(dialog->edtDiskLabel->Enabled());
    EXPECT_FALSE(dialog->btnAddDir->Enabled());
    EXPECT_TRUE(dialog->btnAddFile->Enabled());
    dialog->chkNonFS->UserClick();
    EXPECT_TRUE(dialog->edtDiskLabel->Enabled());
    EXPECT_TRUE(dialog->btnAddDir->Enabled());
}

TEST_F(SettingDlgTest, StoredSpecialScanSurvivesAnApplyForAnotherChange)
{
    s().PageMode = true;
    s().PageModeSel = 3;
    show();
    dialog->cboECC->UserSelect(1);
    dialog->btnApply->Click();
    EXPECT_TRUE(s().PageMode);
    EXPECT_EQ(s().PageModeSel, 3);
    // At the custom level the box stays ticked but cannot be changed.
    s().iScanLevel = 5;
    show();
    EXPECT_TRUE(dialog->chkPageScan->Checked());
    EXPECT_FALSE(dialog->chkPageScan->Enabled());
}

TEST_F(SettingDlgTest, CancelLeavesTheSettingsAndTheNextShowingReloads)
{
    s().iScanLevel = 2;
    show();
    dialog->cboScanLevel->UserSelect(4);
    dialog->btnCancel->Click();
    EXPECT_EQ(dialog->ModalResult(), mrCancel);
    EXPECT_EQ(s().iScanLevel, 2);
    show();
    EXPECT_EQ(dialog->cboScanLevel->ItemIndex(), 2);
}

TEST_F(SettingDlgTest, ModuleNumberIsWrittenIntoTheFirmwareOnlyWhenChanged)
{
    std::string fw(0x9800, '\0');
    fw.replace(0, 4, "6205");
    fw[0x97FD] = 'U';
    fw[0x97FE] = static_cast<char>(0xAA);
    dir.write("fw.bin", fw);
    form->TntSelectFileList2->Items()->Add(dir.file("fw.bin"));
    s().iFlashModuleNo = 0;
    show();
    dialog->cboFlashModuleNo->UserSelect(3);
    dialog->btnApply->Click();
    EXPECT_EQ(s().iFlashModuleNo, 3);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);
    EXPECT_TRUE(dialogs.Messages().empty());

    // Without a selection the main window refuses the number, and -1 is stored.
    s().iFlashModuleNo = 7;
    show();
    EXPECT_EQ(dialog->cboFlashModuleNo->ItemIndex(), -1);
    dialog->btnApply->Click();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "nonlegal mulitplier");
    EXPECT_EQ(s().iFlashModuleNo, -1);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);
}

TEST_F(SettingDlgTest, FastBlankCheckNeedsTheRegistryValue)
{
    // Missing value: unchecked at every showing, even after a right password.
    show();
    dialogs.QueueMessageAnswer(IDYES);
    dialogs.onShowModal = [&](TForm&) {
        password->edtpassword->SetText("63182954");
        password->Button1->Click();
        return mrCancel;
    };
    dialog->chkFastBlkChk->UserClick();
    EXPECT_TRUE(dialog->chkFastBlkChk->Checked());
    dialog->btnApply->Click();
    EXPECT_TRUE(s().bFastBlankCheck);
    show();
    EXPECT_FALSE(dialog->chkFastBlkChk->Checked());
    dialog->btnApply->Click();
    EXPECT_FALSE(s().bFastBlankCheck);

    allowFastBlankCheck(0);
    s().bFastBlankCheck = true;
    show();
    EXPECT_FALSE(dialog->chkFastBlkChk->Checked());
    allowFastBlankCheck(7);
    show();
    EXPECT_TRUE(dialog->chkFastBlkChk->Checked());
}

TEST_F(SettingDlgTest, FastBlankCheckWarnsThenAsksForThePassword)
{
    show();
    std::string typed;
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, password.get());
        password->edtpassword->SetText(typed);
        password->Button1->Click();
        return mrCancel;
    };
    // No to the warning unchecks the box, yet the password dialog still decides.
    dialogs.QueueMessageAnswer(IDNO);
    typed = "63182954";
    dialog->chkFastBlkChk->UserClick();
    auto log = dialogs.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].text, "Fast Blanking Check cannot guarantee the stablity of data access.\n"
                           "Still want to select this tiem?and must use good flash");
    EXPECT_EQ(log[0].caption, "Warning");
    EXPECT_EQ(log[0].flags, MB_YESNO | MB_ICONWARNING);
    EXPECT_EQ(log[1].kind, ScriptedDialogs::Asked::Modal);
    EXPECT_EQ(log[1].text, "Form2");
    EXPECT_TRUE(dialog->chkFastBlkChk->Checked());

    // Unticking asks nothing.
    dialogs.Clear();
    dialog->chkFastBlkChk->UserClick();
    EXPECT_FALSE(dialog->chkFastBlkChk->Checked());
    EXPECT_TRUE(dialogs.Log().empty());

    // Yes, then a wrong code: unchecked, after one error message.
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
    ASSERT_EQ(frmIsoMain, images.get());
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, images.get());
        // What the image dialog does after a successful build.
        images->SettingImgFileEdit->SetText(dir.file("made.img"));
        return mrOk;
    };
    dialog->btnShowImgTool->Click();
    EXPECT_EQ(images->SettingImgFileEdit, dialog->edtImgFile);
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("made.img"));
}
