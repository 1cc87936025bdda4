// The dialogs on screen (QT_QPA_PLATFORM=offscreen), each driven through its real widgets
// by a table of the operator's actions: clicks, keys, typing, Escape and the close box.
// Every row checks what the screen shows against what the model holds; the boxes and
// choosers the handlers open are scripted.
#include "FormDriver.h"
#include "device/HostUtil.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "support/ImageTestTools.h"
#include "support/ScopedLocale.h"
#include "support/TempDir.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/Unit3.h"
#include "ui/isomain.h"
#include "ui/main.h"
#include "view/FormDialog.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <filesystem>
#include <sys/resource.h>

using namespace toolkit;
using testsupport::FormDriver;

namespace {

// Lowers the process's file-size limit; gives the one it replaced.
rlimit fileSizeLimit(rlim_t bytes)
{
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit lower {bytes, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &lower);
    return saved;
}


// Scripted boxes that also note whether the dialog under test was up when each appeared.
class WatchedDialogs : public ScriptedDialogs {
public:
    QWidget* watched = nullptr;
    std::vector<bool> upAtBox;
    std::function<void()> atBox;  // checks what the operator sees behind the box
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        upAtBox.push_back(watched && watched->isVisible());
        if (atBox)
            atBox();
        return ScriptedDialogs::MessageBox(text, caption, flags);
    }
};

class DialogView : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::App();
        platform::SetProgramDir(dir.path());
        std::filesystem::create_directories(dir.file("misc"));
        SetDialogs(&dialogs);
        main = std::make_unique<TForm1>();
        setting = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        notice = std::make_unique<TForm3>();
        iso = std::make_unique<TfrmIsoMain>();
        setting->MainWindow = password->MainWindow = main.get();
        setting->PasswordDialog = password.get();
        password->SettingDialog = setting.get();
        iso->SettingImgFileEdit = setting->edtImgFile;
    }
    void TearDown() override
    {
        iso.reset();
        notice.reset();
        password.reset();
        setting.reset();
        main.reset();
        SetDialogs(nullptr);
    }
    // Shows the form modally (without blocking) and runs the table on it.
    void drive(TForm& form, const std::vector<FormDriver::Step>& steps)
    {
        view::FormDialog dialog(form);
        dialogs.watched = &dialog;
        dialog.start();
        FormDriver d(form, *dialog.formView(), dialog);
        d.run(steps);
        dialogs.watched = nullptr;
        result = dialog.modalResult();
    }
    std::vector<std::string> boxTexts()
    {
        std::vector<std::string> out;
        for (const auto& box : dialogs.Messages())
            out.push_back(box.text);
        dialogs.Clear();
        return out;
    }

    testsupport::TempDir dir;
    WatchedDialogs dialogs;
    std::unique_ptr<TForm1> main;
    std::unique_ptr<TfrmSetting> setting;
    std::unique_ptr<TForm2> password;
    std::unique_ptr<TForm3> notice;
    std::unique_ptr<TfrmIsoMain> iso;
    int result = mrNone;  // of the last dialog driven
};

using Texts = std::vector<std::string>;

} // namespace

TEST_F(DialogView, SettingsDialogOnItsFourPages)
{
    main->iBadThreshold = 10;
    main->iFlashModuleNo = 0;
    RegWriteInteger(ui::kFastBlankKey, ui::kFastBlankValue, 1);
    drive(*setting, {
        {"opens on the device page", nullptr,
         {{"#open", "yes"}, {"pgeSetting", "tabDeviceSetting"}, {"rdoNormalDisk", "[x]"}, {"grpHideDisk.visible", "no"}}},
        {"click the checked Normal", [](FormDriver& d) { d.click("rdoNormalDisk"); },
         {{"rdoNormalDisk", "[x]"}, {"rdoEncryptDisk", "[ ]"}, {"grpHideDisk.visible", "no"}}},
        {"click Encrypted", [](FormDriver& d) { d.click("rdoEncryptDisk"); },
         {{"rdoEncryptDisk", "[x]"}, {"rdoNormalDisk", "[ ]"}, {"grpHideDisk.visible", "yes"}, {"edtEncryptRatio", "1"}}},
        {"ratio to the end", [](FormDriver& d) { d.key("tbarHideDiskRatio", Qt::Key_End); },
         {{"tbarHideDiskRatio", "100"}, {"edtEncryptRatio", "100"}}},
        {"click Hidden", [](FormDriver& d) { d.click("rdoHideDisk"); },
         {{"rdoHideDisk", "[x]"}, {"rdoEncryptDisk", "[ ]"}, {"tbarHideDiskRatio", "99"}, {"edtEncryptRatio", "99"}}},
        {"type a label too long in lower case", [](FormDriver& d) { d.clear("edtDiskLabel"); d.type("edtDiskLabel", "abcdefghij"); },
         {{"edtDiskLabel", "ABCDEFGH"}}},
        {"no file system", [](FormDriver& d) { d.click("chkNonFS"); },
         {{"chkNonFS", "[x]"}, {"edtDiskLabel.enabled", "no"}, {"btnAddDir.enabled", "no"}, {"btnAddFile.enabled", "yes"}}},
        {"a file system again", [](FormDriver& d) { d.click("chkNonFS"); }, {{"edtDiskLabel.enabled", "yes"}, {"btnAddDir.enabled", "yes"}}},
        {"add two files and a folder", [&](FormDriver& d) {
             dialogs.QueueOpenFiles({"/m/1.mp3", "/m/2.mp3"});
             d.click("btnAddFile");
             dialogs.QueueFolder(std::string("/m/d"));
             d.click("btnAddDir");
         },
         {{"TntlstHideFiles", "/m/1.mp3|/m/2.mp3|/m/d"}}},
        {"remove the first and the last", [](FormDriver& d) {
             d.clickItem("TntlstHideFiles", 0);
             d.clickItem("TntlstHideFiles", 2, true);
             d.click("btnRemove");
         },
         {{"TntlstHideFiles", "/m/2.mp3"}}},
        {"click the checked list choice", [](FormDriver& d) { d.click("rdoUseListFile"); },
         {{"rdoUseListFile", "[x]"}, {"grpHiddenFiles.visible", "yes"}, {"grpImgFile.visible", "no"}}},
        {"use an image file; its chooser takes one file, the list's several", [&](FormDriver& d) {
             d.click("rdoUseImgFile");
             d.click("btnBrowseImg");
             std::vector<uint32_t> several;
             for (const auto& asked : dialogs.Log())
                 if (asked.kind == ScriptedDialogs::Asked::Open)
                     several.push_back(asked.flags);
             EXPECT_EQ(several, (std::vector<uint32_t>{1, 0}));
         },
         {{"rdoUseImgFile", "[x]"}, {"rdoUseListFile", "[ ]"}, {"grpImgFile.visible", "yes"}, {"grpHiddenFiles.visible", "no"}, {"btnBrowseImg", "..."}}},
        {"to the flash page", [](FormDriver& d) { d.tab("pgeSetting", 1); }, {{"pgeSetting", "tabFlashSetting"}}},
        {"Apply without an image: back to the image path", [&](FormDriver& d) {
             d.click("btnApply");
             EXPECT_EQ(boxTexts(), Texts{"Invalid IMG file"});
         },
         {{"#open", "yes"}, {"pgeSetting", "tabDeviceSetting"}, {"#focus", "edtImgFile"}}},
        {"flash page again", [](FormDriver& d) { d.tab("pgeSetting", 1); }, {{"pgeSetting", "tabFlashSetting"}}},
        {"click the checked Degrade", [](FormDriver& d) { d.click("rdoDegrade"); }, {{"rdoDegrade", "[x]"}, {"rdoDonotCare", "[ ]"}}},
        {"special scan", [](FormDriver& d) { d.click("chkPageScan"); }, {{"chkPageScan", "[x]"}, {"cboPageMode.enabled", "yes"}}},
        {"page skip 0 asks nothing, 1 warns", [&](FormDriver& d) {
             d.pick("cboPageSkip", 0);
             EXPECT_EQ(boxTexts(), Texts{});
             d.pick("cboPageSkip", 1);
             EXPECT_EQ(boxTexts(), Texts{"Skip page mode may couse flash unstable!"});
         },
         {{"cboPageSkip", "1"}}},
        {"the custom level: special scan stays ticked, locked with its page mode", [](FormDriver& d) { d.pick("cboScanLevel", 5); },
         {{"cboScanLevel", "Level 6"}, {"edtpattern.enabled", "yes"}, {"cboRead.enabled", "yes"}, {"chkPageScan", "[x]"},
          {"chkPageScan.enabled", "no"}, {"cboPageMode.enabled", "no"}}},
        {"type a pattern", [](FormDriver& d) { d.clear("edtpattern"); d.type("edtpattern", "$1A2"); }, {{"edtpattern", "$1A2"}}},
        {"Fast Blanking Check, Yes and the code", [&](FormDriver& d) {
             dialogs.QueueMessageAnswer(IDYES);
             dialogs.onShowModal = [&](TForm&) {
                 password->edtpassword->SetText("63182954");
                 password->Button1->Click();
                 return mrCancel;
             };
             d.click("chkFastBlkChk");
             dialogs.onShowModal = nullptr;
         },
         {{"chkFastBlkChk", "[x]"}}},
        {"Fast Blanking Check off", [](FormDriver& d) { d.click("chkFastBlkChk"); }, {{"chkFastBlkChk", "[ ]"}}},
        {"Fast Blanking Check, No and no code", [&](FormDriver& d) {
             dialogs.QueueMessageAnswer(IDNO);
             password->StoredCode = 0;
             d.click("chkFastBlkChk");
         },
         {{"chkFastBlkChk", "[ ]"}}},
        {"SPI page", [](FormDriver& d) { d.tab("pgeSetting", 2); d.click("chkSaveSpiImage"); },
         {{"pgeSetting", "tabSpiSetting"}, {"chkSaveSpiImage", "[x]"}, {"btnAddSpiFile", "Add Files"}}},
        {"add two SPI files, remove the second", [&](FormDriver& d) {
             dialogs.QueueOpenFiles({"/n/a.bin", "/n/b.bin"});
             d.click("btnAddSpiFile");
             d.settle();
             d.clickItem("TntlstSpiFiles", 1);
             d.click("btnRmvSpiFile");
         },
         {{"TntlstSpiFiles", "/n/a.bin"}}},
        {"factory page", [](FormDriver& d) { d.tab("pgeSetting", 3); d.pick("cboFlashModuleNo", 2); },
         {{"pgeSetting", "tabFactorSet"}, {"cboFlashModuleNo", "4"}}},
        {"Escape cancels", [](FormDriver& d) { d.escape(); }, {{"#open", "no"}}},
    });
    EXPECT_EQ(main->iFlashModuleNo, 0) << "nothing applied";
    EXPECT_EQ(std::make_pair(main->iBadThreshold, int(main->DealCapError)), std::make_pair(10, 0));
}

// Each showing copies the stored settings into the controls (a hidden-file entry gone since
// is left out); Apply copies the controls back, the scan pattern to its low 16 bits.
TEST_F(DialogView, SettingsDialogShowsWhatIsStoredAndApplyStoresWhatIsShown)
{
    ProductionSettings& s = *main;
    dir.write("a.txt", "x");
    RegWriteInteger(ui::kFastBlankKey, ui::kFastBlankValue, 1);
    s.iScanLevel = 5, s.Pattern = 418, s.iEccLevel = 4, s.iBadThreshold = 30, s.PageMode = true, s.iPageSkip = 3;
    s.eDeviceFeature = 1, s.iHideDiskRatio = 25, s.sHideDiskLabel = "SECRET", s.DealCapError = 1, s.AllowErrorRate = 7;
    s.ImageFile = "/media/old.img", s.bFastBlankCheck = true, s.SaveSpiImage = true;
    s.HideFileList.Assign({dir.file("a.txt"), dir.file("gone.txt")});
    drive(*setting, {
        {"opens with what is stored", nullptr,
         {{"cboScanLevel", "Level 6"}, {"edtpattern", "0x01A2"}, {"edtpattern.enabled", "yes"}, {"cboECC", "3"},
          {"UpDownBadThreshold", "30"}, {"edtBadThreshold", "30"}, {"chkPageScan", "[x]"}, {"cboPageSkip", "3"},
          {"rdoEncryptDisk", "[x]"}, {"tbarHideDiskRatio", "25"}, {"edtEncryptRatio", "25"}, {"edtDiskLabel", "SECRET"},
          {"TntlstHideFiles", dir.file("a.txt")}, {"rdoCapShowFail", "[x]"}, {"edtCapError", "7"}, {"rdoUseListFile", "[x]"},
          {"edtImgFile", "/media/old.img"}, {"chkFastBlkChk", "[x]"}, {"chkSaveSpiImage", "[x]"}}},
        {"hidden, a new label", [](FormDriver& d) { d.click("rdoHideDisk"); d.clear("edtDiskLabel"); d.type("edtDiskLabel", "private_disk"); },
         {{"rdoHideDisk", "[x]"}, {"edtDiskLabel", "PRIVATE_"}, {"tbarHideDiskRatio", "25"}}},
        {"flash page: a wide pattern, ECC default, threshold up, do not care, no fast check", [](FormDriver& d) {
             d.tab("pgeSetting", 1);
             d.clear("edtpattern");
             d.type("edtpattern", "0x12345");
             d.pick("cboECC", 0);
             d.key("UpDownBadThreshold", Qt::Key_Up);
             d.click("rdoDonotCare");
             d.click("chkFastBlkChk");  // unticking asks nothing
         },
         {{"edtBadThreshold", "31"}, {"rdoDonotCare", "[x]"}, {"chkFastBlkChk", "[ ]"}}},
        {"Apply", [](FormDriver& d) { d.click("btnApply"); }, {{"#open", "no"}}},
    });
    EXPECT_EQ(std::vector<long long>({s.iScanLevel, s.Pattern, s.iEccLevel, s.iBadThreshold, s.PageMode, s.iPageSkip, s.eDeviceFeature,
                                      s.iHideDiskRatio, s.DealCapError, s.AllowErrorRate, s.bUseImgFile, s.bFastBlankCheck, s.SaveSpiImage}),
              std::vector<long long>({5, 0x2345, 0, 31, 1, 3, 2, 25, 2, 7, 0, 0, 1}));
    EXPECT_EQ(s.sHideDiskLabel + "|" + s.ImageFile + "|" + main->labDiskFeature->Caption(), "PRIVATE_|/media/old.img|Hidden disk25%");
    EXPECT_EQ(s.HideFileList.ToVector(), std::vector<std::string>{dir.file("a.txt")});
}

// Labels are checked where they are entered (leaving the field, Apply, Create) in the
// station's code page; Enter in a label field clicks no button; after "Create" the size
// shown is the size of the image whose path is shown.
TEST_F(DialogView, LabelsCheckedWhereEnteredAndTheCreatedImagesSize)
{
    testsupport::ScopedLocale locale("C");
    auto sparse = [&](const char* name, uintmax_t mb) {
        dir.write(name, "");
        std::filesystem::resize_file(dir.file(name), mb << 20);
        return dir.file(name);
    };
    main->eDeviceFeature = 2;
    main->bUseImgFile = true;
    main->ImageFile = sparse("old.img", 5);
    const std::string created = sparse("new.IMG", 8192);
    setting->ShowImageDialog = [&] { setting->edtImgFile->SetText(created); };  // as a build does
    auto opened = [&] {
        int n = 0;
        for (const auto& asked : dialogs.Log())
            n += asked.kind == ScriptedDialogs::Asked::Open || asked.kind == ScriptedDialogs::Asked::Save;
        return n;
    };
    drive(*setting, {
        {"opens with the stored image", nullptr, {{"rdoUseImgFile", "[x]"}, {"lblImgSizeMB", "5MB"}}},
        {"Create: the new image's size", [](FormDriver& d) { d.click("btnShowImgTool"); },
         {{"edtImgFile", created}, {"lblImgSizeMB", "8192MB"}}},
        {"the list instead, a file chooser cancelled", [&](FormDriver& d) {
             d.click("rdoUseListFile");
             d.click("btnAddFile");
         },
         {{"grpHiddenFiles.visible", "yes"}, {"TntlstHideFiles", ""}}},
        {"a Chinese label on an English station, Enter", [&](FormDriver& d) {
             const int before = opened();
             d.click("edtDiskLabel");
             d.clear("edtDiskLabel");
             d.type("edtDiskLabel", "中文");
             d.key("edtDiskLabel", Qt::Key_Return);
             EXPECT_EQ(opened(), before) << "Enter opens no chooser";
             EXPECT_EQ(boxTexts(), Texts{"The volume label \"中文\" cannot be used: code page 437 cannot hold '中'"});
         },
         {{"#open", "yes"}, {"edtDiskLabel", "中文"}}},
        {"Apply refuses it and goes back to it", [&](FormDriver& d) {
             d.tab("pgeSetting", 1);
             d.click("btnApply");
             EXPECT_EQ(boxTexts(), Texts{"The volume label \"中文\" cannot be used: code page 437 cannot hold '中'"});
         },
         {{"#open", "yes"}, {"pgeSetting", "tabDeviceSetting"}, {"#focus", "edtDiskLabel"}}},
        {"on a Big5 station, a simplified character", [&](FormDriver& d) {
             locale.set("zh_TW.UTF-8");
             d.clear("edtDiskLabel");
             d.type("edtDiskLabel", "学习");
             d.key("edtDiskLabel", Qt::Key_Return);
             EXPECT_EQ(boxTexts(), Texts{"The volume label \"学习\" cannot be used: code page 950 (Big5) cannot hold '学'"});
         },
         {{"#open", "yes"}, {"edtDiskLabel", "学习"}}},
        {"on a GBK station it fits: Apply closes", [&](FormDriver& d) {
             locale.set("zh_CN.UTF-8");
             d.click("btnApply");
             EXPECT_EQ(boxTexts(), Texts{});
         },
         {{"#open", "no"}}},
    });
    EXPECT_EQ(main->sHideDiskLabel, "学习");
    locale.set("C");
    drive(*iso, {
        {"a Chinese label in the image dialog: the real character", [&](FormDriver& d) {
             d.click("btnAddFile");  // a chooser cancelled first
             dialogs.Clear();
             d.click("edtDiskLabel");
             d.clear("edtDiskLabel");
             d.type("edtDiskLabel", "A中");
             d.key("edtDiskLabel", Qt::Key_Return);
             EXPECT_EQ(opened(), 0) << "Enter opens no chooser";
             EXPECT_EQ(boxTexts(), Texts{"The volume label \"A中\" cannot be used: an image's label holds ASCII characters only, not '中'"});
         },
         {{"#open", "yes"}}},
        {"Create refuses it before asking for a name", [&](FormDriver& d) {
             d.click("btnCreateImg");
             EXPECT_EQ(boxTexts(), Texts{"The volume label \"A中\" cannot be used: an image's label holds ASCII characters only, not '中'"});
             EXPECT_EQ(opened(), 0);
         },
         {{"#open", "yes"}, {"btnCreateImg.enabled", "yes"}}},
        {"Escape", [](FormDriver& d) { d.escape(); }, {{"#open", "no"}}},
    });
}

TEST_F(DialogView, PasswordDialog)
{
    TCheckBox* box = setting->chkFastBlkChk;
    drive(*password, {
        {"opens cleared", nullptr,
         {{"#open", "yes"}, {"#caption", "MP Tool Password"}, {"edtpassword", ""}, {"Label1", "Pls input Password"},
          {"GroupBox1", "Password Setting"}, {"Button1", "Input"}}},
        {"typing shows", [](FormDriver& d) { d.type("edtpassword", "123"); }, {{"edtpassword", "123"}}},
        {"a click in the edit clears it", [](FormDriver& d) { d.click("edtpassword"); }, {{"edtpassword", ""}}},
        {"not a number: the error box, the dialog stays", [&](FormDriver& d) {
             d.type("edtpassword", "abc");
             d.click("Button1");
             EXPECT_EQ(boxTexts(), Texts{"'abc' is not a valid integer value"});
         },
         {{"#open", "yes"}, {"edtpassword", "abc"}}},
        {"the code and Enter", [&](FormDriver& d) {
             d.click("edtpassword");
             d.type("edtpassword", "0063182954");
             d.click("Button1");
             EXPECT_TRUE(box->Checked());
         },
         {{"#open", "no"}, {"edtpassword", ""}}},
    });
    drive(*password, {
        {"again: the close box keeps the right code", [](FormDriver& d) { d.closeBox(); }, {{"#open", "no"}}},
    });
    drive(*password, {
        {"the code and the Enter key: the form's default button", [](FormDriver& d) {
             d.type("edtpassword", "63182954");
             d.key("edtpassword", Qt::Key_Return);
         },
         {{"#open", "no"}}},
    });
    EXPECT_TRUE(box->Checked());
    dialogs.atBox = [box] { EXPECT_FALSE(box->Checked()) << "unticked before the error shows"; };
    drive(*password, {
        {"a wrong number", [&](FormDriver& d) { d.type("edtpassword", "7"); d.key("edtpassword", Qt::Key_Tab); d.click("Button1"); },
         {{"#open", "no"}}},
    });
    dialogs.atBox = nullptr;
    EXPECT_FALSE(box->Checked());
    EXPECT_EQ(boxTexts(), Texts{"Password Error! Pls input correct Password"});
    main->LanguageIndex = 2;  // the captions follow the main window's language
    drive(*password, {
        {"in Simplified Chinese", nullptr, {{"Label1", "请输入密码"}, {"GroupBox1", "密码设定"}, {"Button1", "输入"}}},
        {"nothing typed: the hint, then the error", [](FormDriver& d) { d.click("Button1"); }, {{"#open", "no"}}},
    });
    EXPECT_EQ(boxTexts(), (Texts{"Pls input paaword!", "Password Error! Pls input correct Password"}));
}

TEST_F(DialogView, WaitingNotice)
{
    drive(*notice, {
        {"opens", nullptr, {{"#open", "yes"}, {"#caption", "Processing"}, {"Label1", "Wating......"}}},
        {"Escape", [](FormDriver& d) { d.escape(); }, {{"#open", "no"}}},
    });
    EXPECT_EQ(result, mrCancel);
}

// The image dialog in the main window's language: it stays up and busy while it builds,
// its progress moving with the clock, leaves a folder's hidden files out, hands the image
// (named without extension) to the settings dialog, and the image passes fsck.fat.
TEST_F(DialogView, ImageDialogStaysUpWhileItBuilds)
{
    platform::FakeClock clock;
    platform::SetClock(&clock);
    const std::string src = dir.file("host/src"), image = dir.file("out.IMG");
    for (const std::string root : {"src", "expected"}) {
        std::filesystem::create_directories(dir.file("host/" + root + "/D/S"));
        for (auto [name, size] : {std::pair{"song.mp3", 70000}, {".top", 10}, {"D/a.txt", 512}, {"D/b.bin", 3000}, {"D/S/c.dat", 1025}})
            imagetest::WritePatternFile(dir.file("host/" + root + "/" + name), uint64_t(size), uint32_t(size));
    }
    imagetest::WritePatternFile(src + "/D/.secret", 100, 6);
    const unsigned zh = kLanguageSimplifiedChinese;
    auto row = [zh](int r) { return std::string(MessageCatalogue(r, zh)); };
    main->LanguageIndex = zh;
    drive(*iso, {
        {"opens in the main window's language", nullptr,
         {{"#open", "yes"}, {"#caption", "建立映像档"}, {"grpHiddenFiles", "预先拷入隐藏档"}, {"btnRemove", "移除"},
          {"edtDiskLabel", "PASS WD"}, {"edtDiskSize", "256"}}},
        {"a lower-case label", [](FormDriver& d) { d.clear("edtDiskLabel"); d.type("edtDiskLabel", "data disk1"); },
         {{"edtDiskLabel", "DATA DIS"}}},
        {"smallest size", [](FormDriver& d) { d.key("tbarHideDiskRatio", Qt::Key_Home); },
         {{"tbarHideDiskRatio", "4"}, {"edtDiskSize", "128"}}},
        {"add two files, a folder and the two files again", [&](FormDriver& d) {
             dialogs.QueueOpenFiles({src + "/song.mp3", src + "/.top"});
             dialogs.QueueOpenFiles({src + "/song.mp3", src + "/.top"});
             d.click("btnAddFile");
             dialogs.QueueFolder(src + "/D");
             d.click("btnAddDir");
             d.click("btnAddFile");
         },
         {{"TntlstHideFiles", src + "/song.mp3|" + src + "/.top|" + src + "/D|" + src + "/song.mp3|" + src + "/.top"}}},
        {"remove the repeated two", [](FormDriver& d) {
             d.clickItem("TntlstHideFiles", 3);
             d.clickItem("TntlstHideFiles", 4, true);
             d.click("btnRemove");
         },
         {{"TntlstHideFiles", src + "/song.mp3|" + src + "/.top|" + src + "/D"}}},
        {"the name chooser cancelled: nothing starts", [&](FormDriver& d) {
             dialogs.QueueSaveFile(std::nullopt);
             d.click("btnCreateImg");
         },
         {{"#open", "yes"}, {"btnCreateImg.enabled", "yes"}, {"edtDiskLabel.enabled", "yes"}}},
        {"busy while it builds; Escape and the close box wait", [&](FormDriver& d) {
             dialogs.QueueSaveFile(dir.file("out"));
             // Both reach the dialog through the messages the build lets through.
             QTimer::singleShot(0, [&] {
                 EXPECT_FALSE(iso->btnCreateImg->Enabled() || iso->edtDiskLabel->Enabled() || iso->btnAddFile->Enabled());
                 EXPECT_TRUE(iso->ProgressBar1->Visible());
                 clock.advance(1000);  // one tick of the progress timer
                 d.escape();
                 d.closeBox();
             });
             d.click("btnCreateImg");
             EXPECT_EQ(boxTexts(), Texts{row(kRowCreateImage) + row(kRowSuccess)});
             EXPECT_EQ(dialogs.upAtBox, std::vector<bool>{true}) << "the box shows over the dialog";
         },
         {{"#open", "yes"}, {"btnCreateImg.enabled", "yes"}, {"ProgressBar1.visible", "no"}, {"ProgressBar1", "10"}}},
        {"a write the system refuses: the box says why and where", [&](FormDriver& d) {
             dialogs.QueueSaveFile(dir.file("limited.IMG"));
             const rlimit saved = fileSizeLimit(4096);
             d.click("btnCreateImg");
             ::setrlimit(RLIMIT_FSIZE, &saved);
             const Texts boxes = boxTexts();
             ASSERT_EQ(boxes.size(), 1u);
             EXPECT_EQ(boxes[0].rfind(row(kRowInitImageDisk) + row(kRowFail) + "\ncannot write \\song.mp3 into the image: cannot write sector records to ", 0), 0u)
                 << boxes[0];
             EXPECT_NE(boxes[0].find(dir.file(".limited.IMG.")), std::string::npos) << boxes[0];
             EXPECT_NE(boxes[0].find(": File too large"), std::string::npos) << boxes[0];
         },
         {{"#open", "yes"}, {"btnCreateImg.enabled", "yes"}}},
        {"then Escape closes it", [](FormDriver& d) { d.escape(); }, {{"#open", "no"}}},
    });
    platform::SetClock(nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("limited.IMG")));
    EXPECT_EQ(setting->edtImgFile->Text() + "|" + iso->CreatedImagePath(), image + "|" + image);
    imagetest::ExpectImageHolds(image, dir.path(), dir.file("host/expected"), "Volume label is DATA DIS", 128);
}
