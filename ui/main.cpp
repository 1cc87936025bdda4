// The main window (TForm1): its controls, its panels, its creation and first showing.
#include "ui/main.h"

#include "device/HostUtil.h"
#include "platform/AtomicFile.h"
#include "platform/IniFile.h"
#include "platform/PathListFile.h"
#include "platform/TextCodec.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "platform/SystemLanguage.h"
#include "ui/LabelCheck.h"
#include "ui/MainWindowLink.h"
#include "ui/SettingDlg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace toolkit;

TForm1* Form1 = nullptr;

namespace {

// Key of the window's own registry values (LanguageID, AddDir).
constexpr const char* kWindowRegistryKey = "SoftWare\\KOV6125\\Vornagel28";

// The design caption; it names the single-instance lock.
constexpr const char* kDesignCaption = "MP3 Tool";

bool FileExists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

TForm1::TForm1(TWinControl* owner) : TForm("Form1", owner)
{
    buildControls();
    for (auto& slot : DeviceSlots)
        slot.drive = 0;
    Form1 = this;
    ui::InstallMainWindowLink();
    OnShow = [this](TControl* s) { FormShow(s); };
    OnClose = [this](TControl* s) { FormClose(s); };
    FormCreate(this);
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

// The stored layout of the form: client area 862 x 606, one page, the option boxes on
// the left, the eight device panels on the right, the totals and the languages below.
void TForm1::buildControls()
{
    SetCaption(kDesignCaption);
    SetBounds(0, 0, 862, 606);

    PageControl1 = Make<TPageControl>("PageControl1");
    PageControl1->SetBounds(0, 0, 862, 606);
    TabSheet4 = PageControl1->Make<TTabSheet>("TabSheet4");
    TabSheet4->SetCaption("Mass Production");
    TabSheet4->SetBounds(4, 24, 854, 578);
    TWinControl* page = TabSheet4;

    buildOptionGroup(page);
    buildFileListGroup(page);
    buildDevicePanels(page);
    buildTotalsAndLanguages(page);
    bindEvents();
}

// The production options on the left, above the copy list.
void TForm1::buildOptionGroup(TWinControl* page)
{
    auto check = [](TWinControl* parent, const char* name, const char* caption, int x, int y, int w) {
        auto* c = parent->Make<TCheckBox>(name);
        c->SetCaption(caption);
        c->SetBounds(x, y, w, 17);
        return c;
    };

    grpMPSetting = page->Make<TGroupBox>("grpMPSetting");
    grpMPSetting->SetBounds(8, 4, 330, 226);
    chkFormat = check(grpMPSetting, "chkFormat", "Format", 10, 18, 150);
    chkBlankCheck = check(grpMPSetting, "chkBlankCheck", "Blanking check", 10, 38, 150);
    chkISOupgrade = check(grpMPSetting, "chkISOupgrade", "ISO upgrade", 10, 58, 150);
    chkFwUpgrade = check(grpMPSetting, "chkFwUpgrade", "FW Upgrade", 10, 78, 150);
    chkParityCheck = check(grpMPSetting, "chkParityCheck", "", 10, 98, 150);
    chknor = check(grpMPSetting, "chknor", "Nor read check", 170, 18, 150);
    chkClearFlash = check(grpMPSetting, "chkClearFlash", "Clear Flash", 170, 38, 150);
    chkFAT32 = check(grpMPSetting, "chkFAT32", "FAT32", 170, 58, 150);
    chkUsbPort = check(grpMPSetting, "chkUsbPort", "Fix USB IO", 170, 78, 150);
    SystemAreachk = check(grpMPSetting, "SystemAreachk", "Systemareasize", 10, 122, 150);
    SystemAreaComBo = grpMPSetting->Make<TComboBox>("SystemAreaComBo");
    SystemAreaComBo->SetBounds(170, 120, 80, 21);
    for (int i = 1; i <= kSystemAreaSizes; ++i)
        SystemAreaComBo->Items()->Add(std::to_string(i * 4) + "MB");
    CheckManuupgrade = check(grpMPSetting, "CheckManuupgrade", "Manuupgrade", 10, 146, 158);
    Upgradebtn = grpMPSetting->Make<TButton>("Upgradebtn");
    Upgradebtn->SetCaption("Manul Upgrade");
    Upgradebtn->SetBounds(170, 142, 150, 24);
    LabelStatic = grpMPSetting->Make<TStaticText>("LabelStatic");
    LabelStatic->SetCaption("Label:");
    LabelStatic->SetBounds(10, 174, 60, 17);
    LabelEdit = grpMPSetting->Make<TEdit>("LabelEdit");
    LabelEdit->SetText("my_audio");
    LabelEdit->SetBounds(70, 172, 90, 21);
    btnSetup = grpMPSetting->Make<TButton>("btnSetup");
    btnSetup->SetCaption("Setup ...");
    btnSetup->SetBounds(170, 170, 150, 25);
    labType = grpMPSetting->Make<TLabel>("labType");
    labType->SetBounds(10, 202, 90, 17);
    labDiskFeature = grpMPSetting->Make<TLabel>("labDiskFeature");
    labDiskFeature->SetBounds(100, 202, 220, 17);
}

// The copy list and its buttons.
void TForm1::buildFileListGroup(TWinControl* page)
{
    grpFileList = page->Make<TGroupBox>("grpFileList");
    grpFileList->SetBounds(8, 234, 330, 234);
    TntSelectFileList2 = grpFileList->Make<TListBox>("TntSelectFileList2");
    TntSelectFileList2->SetMultiSelect(true);
    TntSelectFileList2->SetBounds(8, 18, 314, 150);
    AddFilesBtn = grpFileList->Make<TButton>("AddFilesBtn");
    AddFilesBtn->SetCaption("Add files...");
    AddFilesBtn->SetBounds(8, 174, 100, 25);
    RemoveBtn = grpFileList->Make<TButton>("RemoveBtn");
    RemoveBtn->SetCaption("Remove");
    RemoveBtn->SetBounds(115, 174, 100, 25);
    btnAddDir = grpFileList->Make<TButton>("btnAddDir");
    btnAddDir->SetCaption("Add Dir");
    btnAddDir->SetBounds(222, 174, 100, 25);
    labSystemArea = grpFileList->Make<TStaticText>("labSystemArea");
    labSystemArea->SetCaption("System Area Size:");
    labSystemArea->SetBounds(8, 206, 314, 17);
}

// The eight device panels, two to a row.
void TForm1::buildDevicePanels(TWinControl* page)
{
    grpProcessStatus = page->Make<TGroupBox>("grpProcessStatus");
    grpProcessStatus->SetCaption("Process Status");
    grpProcessStatus->SetBounds(346, 4, 500, 464);
    TStaticText** titles[kDeviceSlots] = {&StaticText1, &StaticText3, &StaticText4, &StaticText5,
                                          &StaticText6, &StaticText7, &StaticText8, &StaticText9};
    const char* titleNames[kDeviceSlots] = {"StaticText1", "StaticText3", "StaticText4", "StaticText5",
                                            "StaticText6", "StaticText7", "StaticText8", "StaticText9"};
    TStaticText** infos[kDeviceSlots] = {&D1infoStr, &D2infoStr, &D3infoStr, &D4infoStr,
                                         &D5infoStr, &D6infoStr, &D7infoStr, &D8infoStr};
    TGauge** gauges[kDeviceSlots] = {&ProgressBar1, &ProgressBar2, &ProgressBar3, &ProgressBar4,
                                     &ProgressBar5, &ProgressBar6, &ProgressBar7, &ProgressBar8};
    TImage** images[kDeviceSlots] = {&infoImage1, &infoImage2, &infoImage3, &infoImage4,
                                     &infoImage5, &infoImage6, &infoImage7, &infoImage8};
    TStaticText** textPs[kDeviceSlots] = {&TextP1, &TextP2, &TextP3, &TextP4,
                                          &TextP5, &TextP6, &TextP7, &TextP8};
    TStaticText** textFs[kDeviceSlots] = {&TextF1, &TextF2, &TextF3, &TextF4,
                                          &TextF5, &TextF6, &TextF7, &TextF8};
    for (int i = 0; i < kDeviceSlots; ++i) {
        std::string n = std::to_string(i + 1);
        auto* box = grpProcessStatus->Make<TGroupBox>("grpDevice" + n);
        box->SetBounds(8 + (i % 2) * 246, 18 + (i / 2) * 110, 238, 104);
        grpDevice[i] = box;
        // The two texts the run writes at length, the status line and the flash line,
        // span the panel; the title, the port text, the gauge and the result picture
        // share the rows above them.
        *titles[i] = box->Make<TStaticText>(titleNames[i]);
        (*titles[i])->SetCaption("Dev " + n + ":");
        (*titles[i])->SetBounds(6, 8, 62, 17);
        *textPs[i] = box->Make<TStaticText>("TextP" + n);
        (*textPs[i])->SetBounds(70, 8, 120, 17);
        *gauges[i] = box->Make<TGauge>("ProgressBar" + n);
        (*gauges[i])->SetForeColor(clTeal);
        (*gauges[i])->SetVisible(false);
        (*gauges[i])->SetBounds(6, 28, 184, 14);
        *images[i] = box->Make<TImage>("infoImage" + n);
        (*images[i])->SetVisible(false);
        (*images[i])->SetBounds(196, 6, 36, 36);
        *infos[i] = box->Make<TStaticText>("D" + n + "infoStr");
        (*infos[i])->SetCaption(kDesignWaitText);
        (*infos[i])->SetBounds(6, 50, 226, 17);
        *textFs[i] = box->Make<TStaticText>("TextF" + n);
        (*textFs[i])->SetBounds(6, 74, 226, 17);
    }
}

// The totals and the language choice below the panels, and the labels nobody sees.
void TForm1::buildTotalsAndLanguages(TWinControl* page)
{
    GroupBox16 = page->Make<TGroupBox>("GroupBox16");
    GroupBox16->SetCaption("Log");
    GroupBox16->SetBounds(346, 472, 300, 96);
    auto text = [](TWinControl* parent, const char* name, const char* caption, int x, int y, TColor color) {
        auto* t = parent->Make<TStaticText>(name);
        t->SetCaption(caption);
        t->SetBounds(x, y, 100, 17);
        t->Font()->SetColor(color);
        return t;
    };
    StaticText10 = text(GroupBox16, "StaticText10", "Total:", 10, 20, clWindowText);
    StaticText11 = text(GroupBox16, "StaticText11", "successful:", 10, 44, clWindowText);
    StaticText12 = text(GroupBox16, "StaticText12", "fail:", 10, 68, clWindowText);
    TotalStr = text(GroupBox16, "TotalStr", "0", 150, 20, clBlack);
    SuccessStr = text(GroupBox16, "SuccessStr", "0", 150, 44, clBlue);
    FailStr = text(GroupBox16, "FailStr", "0", 150, 68, clRed);

    TntGroupBox1 = page->Make<TGroupBox>("TntGroupBox1");
    TntGroupBox1->SetCaption("Language");
    TntGroupBox1->SetBounds(654, 472, 192, 96);
    auto radio = [this](const char* name, const char* caption, int x, int y) {
        auto* r = TntGroupBox1->Make<TRadioButton>(name);
        r->SetCaption(caption);
        r->SetBounds(x, y, 80, 17);
        r->OnClick = [this](TControl* s) { TntRdoLangAutoClick(s); };
        return r;
    };
    TntRdoLangAuto = radio("TntRdoLangAuto", "Auto", 10, 24);
    TntRdoLangSC = radio("TntRdoLangSC", "\xE7\xAE\x80\xE4\xB8\xAD", 100, 24);  // 简中
    TntRdoLangTC = radio("TntRdoLangTC", "\xE7\xB9\x81\xE4\xB8\xAD", 10, 56);   // 繁中
    TntRdoLangEng = radio("TntRdoLangEng", "English", 100, 56);

    auto hidden = [page](const char* name) {
        auto* l = page->Make<TLabel>(name);
        l->SetVisible(false);
        l->SetBounds(8, 480, 100, 17);
        return l;
    };
    lblpass = hidden("lblpass");
    lblEcptPw = hidden("lblEcptPw");
    lblsiosize = hidden("lblsiosize");
    lblCuAl = hidden("lblCuAl");
}

// The handlers of the form's controls (the language radios bind theirs where they are made).
void TForm1::bindEvents()
{
    btnSetup->OnClick = [this](TControl* s) { btnSetupClick(s); };
    // Every device takes this label: one it cannot hold is named when the operator leaves
    // the field, not by every device failing at its label step.
    LabelEdit->OnExit = [this](TControl*) {
        ui::AcceptLabel(ui::LabelRefusal(LabelEdit->Text(), platform::StationCodePage()), LanguageIndex);
    };
    CheckManuupgrade->OnClick = [this](TControl* s) { CheckManuupgradeClick(s); };
    Upgradebtn->OnClick = [this](TControl* s) { UpgradebtnClick(s); };
    AddFilesBtn->OnClick = [this](TControl* s) { AddFilesBtnClick(s); };
    RemoveBtn->OnClick = [this](TControl* s) { RemoveBtnClick(s); };
    btnAddDir->OnClick = [this](TControl* s) { btnAddDirClick(s); };
    SystemAreachk->OnClick = [this](TControl* s) { SystemAreachkClick(s); };
    SystemAreaComBo->OnChange = [this](TControl* s) { SystemAreaComBoChange(s); };
    chkISOupgrade->OnClick = [this](TControl* s) { chkISOupgradeClick(s); };
    chkUsbPort->OnMouseUp = [this](TControl* s) { chkUsbPortMouseUp(s); };
    chkClearFlash->OnMouseUp = [this](TControl* s) { chkClearFASHMouseUp(s); };
    chkBlankCheck->OnMouseUp = [this](TControl* s) { chkBlankCheckMouseUp(s); };
}

// ---- panels ----

int TForm1::IsDriveInSlot(char letter) const
{
    for (const auto& slot : DeviceSlots)
        if (slot.drive == letter)
            return 1;
    return 0;
}

void TForm1::ReleaseDriveSlot(char letter)
{
    for (auto& slot : DeviceSlots)
        if (slot.drive == letter) {
            slot.drive = 0;
            slot.serial = 0;
        }
}

int TForm1::FirstFreeSlot() const
{
    for (int i = 0; i < kDeviceSlots; ++i)
        if (DeviceSlots[i].drive == 0)
            return i;
    return kDeviceSlots;
}

int TForm1::SlotOfDrive(char letter) const
{
    for (int i = 0; i < kDeviceSlots; ++i)
        if (DeviceSlots[i].drive == letter)
            return i;
    return kDeviceSlots;
}

void TForm1::bindPanels()
{
    TStaticText* infos[] = {D1infoStr, D2infoStr, D3infoStr, D4infoStr, D5infoStr, D6infoStr, D7infoStr, D8infoStr};
    TImage* images[] = {infoImage1, infoImage2, infoImage3, infoImage4, infoImage5, infoImage6, infoImage7, infoImage8};
    TGauge* gauges[] = {ProgressBar1, ProgressBar2, ProgressBar3, ProgressBar4,
                        ProgressBar5, ProgressBar6, ProgressBar7, ProgressBar8};
    TStaticText* ps[] = {TextP1, TextP2, TextP3, TextP4, TextP5, TextP6, TextP7, TextP8};
    TStaticText* fs[] = {TextF1, TextF2, TextF3, TextF4, TextF5, TextF6, TextF7, TextF8};
    for (int i = 0; i < kDeviceSlots; ++i) {
        DeviceSlots[i].drive = 0;
        DeviceSlots[i].status = infos[i];
        DeviceSlots[i].image = images[i];
        DeviceSlots[i].gauge = gauges[i];
        DeviceSlots[i].textP = ps[i];
        DeviceSlots[i].textF = fs[i];
    }
}

// ---- life ----

bool TForm1::CheckPreviousInstance(TForm* form)
{
    std::string name = form->Caption();
    Application->SetTitle(name);
    hInstanceMutex = std::make_unique<platform::SingleInstance>(name, platform::ProgramDir());
    if (hInstanceMutex->CheckPreviousInstance()) {
        // The first instance owns the lock; we hold nothing.
        hInstanceMutex.reset();
        return true;
    }
    return false;
}

void TForm1::FormCreate(TControl*)
{
    // One instance per station folder.
    if (CheckPreviousInstance(this))
        terminateRequested_ = true;

    // The port log of an earlier run goes.
    std::remove(platform::ProgramPath("misc\\port.log").c_str());

    // Registry defaults of the production key.
    for (const char* name : {"BlocksPerChip", "LogBiTable"})
        if (RegReadInt(name, -1) == -1)
            RegWriteInt(name, 0);

    // The two hidden-file lists start empty (they are members of the settings block).
    HideFileList.Clear();
    SpiFileList.Clear();

    // The loader every arriving device gets.
    sFsmPath = platform::ProgramPath("misc\\FSM01.BIN");
}

std::string TForm1::loadPathList(const std::string& relative, TStrings& list)
{
    std::string path = platform::ProgramPath(relative);
    if (!FileExists(path))
        return {};
    std::vector<std::string> entries;
    if (!platform::PathListFile::Load(path, entries)) {
        // An empty list saved at close would replace the operator's list: it stays as it is.
        const std::string why = std::strerror(errno);
        unreadLists_.insert(path);
        AppendLog("Cannot read " + path + ": " + why);
        return "The list " + path + " cannot be read (" + why + "); it is left as it is and not saved at close.";
    }
    list.Assign(entries);
    // Entries that are gone since the last run are dropped, last to first.
    std::vector<std::string> dropped;
    for (int i = list.Count() - 1; i >= 0; --i)
        if (!platform::PathListEntryExists(list.Strings(i))) {
            dropped.insert(dropped.begin(), list.Strings(i));
            list.Delete(i);
        }
    if (dropped.empty())
        return {};
    // The close rewrites the list without them: the operator gets to know which, and the
    // list as it was stays beside it (an unmounted share comes back).
    const std::string kept = path + ".old";
    std::string bytes, report = "These entries of " + path + " do not exist and were dropped:";
    for (const std::string& entry : dropped) {
        AppendLog("Dropped from " + path + ": " + platform::SanitizeUtf8(entry));
        report += "\n" + platform::SanitizeUtf8(entry);
    }
    if (platform::ReadWholeFile(path, bytes) && platform::WriteFileAtomic(kept, bytes))
        report += "\nThe previous list is kept in " + kept + ".";
    else
        report += "\nThe previous list could not be kept in " + kept + ": " + std::strerror(errno) + ".";
    return report;
}

std::string TForm1::checkStation()
{
    // Settings and lists are saved into misc/ at close; a station that cannot take them
    // is named now, with the reason, not when the work is done.
    std::string report;
    const std::string misc = platform::ProgramPath("misc");
    struct stat st{};
    if (stat(misc.c_str(), &st) != 0) {
        if (::mkdir(misc.c_str(), 0777) != 0)
            report = "Unable to create " + misc + ": " + std::strerror(errno);
        else
            AppendLog("Station: created " + misc);
    } else if (!S_ISDIR(st.st_mode)) {
        report = "Unable to write to " + misc + ": it is not a folder";
    } else {
        std::string probe = misc + "/.write-test-XXXXXX";
        const int fd = ::mkstemp(probe.data());
        if (fd < 0) {
            report = "Unable to write to " + misc + ": " + std::strerror(errno);
        } else {
            ::close(fd);
            ::unlink(probe.c_str());
        }
    }
    if (!report.empty())
        report += "\nThe settings and the file lists cannot be saved.";
    if (!FileExists(sFsmPath))
        report += std::string(report.empty() ? "" : "\n") + "The loader " + sFsmPath + " is missing: no device can be started.";
    if (!report.empty())
        AppendLog("Station: " + report);
    return report;
}

void TForm1::FormShow(TControl*)
{
    // Every relative path rests on the program folder (ProgramPath), not on the
    // process's working directory. The order matters: the language texts come before the
    // lists and settings whose warnings they word, and the settings before what their
    // boxes enable.
    PageControl1->SetActivePageIndex(0);
    SystemAreaComBo->SetItemIndex(31);
    bindPanels();
    // The stored language choice; checking the radio runs its click handler.
    int id = RegReadInteger(kWindowRegistryKey, "LanguageID", 0);
    switch (id) {
    case 1: TntRdoLangEng->SetChecked(true); break;
    case 2: TntRdoLangSC->SetChecked(true); break;
    case 3: TntRdoLangTC->SetChecked(true); break;
    default: TntRdoLangAuto->SetChecked(true); break;
    }
    ApplyLanguage();
    // What the station lacks, and list entries gone from the disk, are told in one box.
    std::string report = checkStation();
    for (const std::string& dropped : {loadPathList(".\\misc\\seting.ini", *TntSelectFileList2->Items()),
                                       loadPathList(".\\misc\\hideseting.ini", HideFileList),
                                       loadPathList(".\\misc\\spiseting.ini", SpiFileList)})
        if (!dropped.empty())
            report += (report.empty() ? "" : "\n\n") + dropped;
    LoadSettings(platform::ProgramPath(".\\misc\\prefer.ini"));
    // The module count is kept in the firmware file.
    ReadFirmwareMultiplier();
    SystemAreaComBo->SetEnabled(SystemAreachk->Checked());
    Upgradebtn->SetCaption(MenuUpgradeStartStr.get());
    Upgradebtn->SetEnabled(CheckManuupgrade->Checked());
    ScanFileList();
    if (!report.empty())
        TheDialogs().MessageBox(report, Application ? Application->Title() : std::string(), MB_OK | MB_ICONWARNING);
}

void TForm1::FormPaint()
{
    if (painted_)
        return;
    painted_ = true;
    if (eDeviceFeature == 0 || !bUseImgFile)
        return;
    uint64_t size = 0;
    if (FileExists(ImageFile) && GetImgFileSize(ImageFile, size))
        return;
    ImageFile.clear();
    unsigned lang = LanguageIndex;
    TheDialogs().MessageBox(MessageCatalogue(kRowImageMissing, lang), MessageCatalogue(kRowWarning, lang), MB_OK | MB_ICONWARNING);
    if (SettingForm) {
        SettingForm->ShowModal();
        if (auto* pages = dynamic_cast<TPageControl*>(SettingForm->FindControl("pgeSetting")))
            for (int i = 0; i < pages->PageCount(); ++i)
                if (pages->Pages(i) && pages->Pages(i)->Name() == "tabDeviceSetting")
                    pages->SetActivePageIndex(i);
    }
}

void TForm1::FormClose(TControl*)
{
    // Each file is saved even when an earlier one fails; the failures are reported
    // together at the end, so nothing the operator set is silently lost.
    std::string failures;
    auto note = [&](const std::string& what) { failures += (failures.empty() ? "" : "\n") + what; };
    auto saveList = [&](const char* relative, const TStrings& list) {
        std::string path = platform::ProgramPath(relative);
        if (unreadLists_.count(path)) {
            note("Not saved: " + path + " could not be read at start and is left as it was");
            return;
        }
        if (!platform::PathListFile::Save(path, list.ToVector()))
            note("Unable to write to " + path + ": " + std::strerror(errno));
    };
    saveList("misc\\hideseting.ini", HideFileList);
    saveList("misc\\spiseting.ini", SpiFileList);
    try {
        SaveSettings(platform::ProgramPath("misc\\prefer.ini"));
    } catch (const platform::IniFileError& e) {
        note(std::string(e.what()) + ": " + std::strerror(errno));
    } catch (const std::exception& e) {
        note(e.what());
    }
    saveList("misc\\seting.ini", *TntSelectFileList2->Items());
    if (hInstanceMutex)
        hInstanceMutex->release();
    if (!failures.empty())
        TheDialogs().MessageBox(failures, Application->Title(), MB_OK | MB_ICONERROR);
}

int TForm1::btnSetupClick(TControl*)
{
    return SettingForm ? SettingForm->ShowModal() : mrCancel;
}

void TForm1::Dispatch(const TMessage& message)
{
    // The message queue and the flag below have no lock, and arrivals claim panels and
    // show boxes: only the user-interface thread may come here. Another thread would
    // corrupt the queue, so that programming error stops the program in every build.
    if (!toolkit::IsUiThread()) {
        std::fputs("TForm1::Dispatch called outside the user-interface thread\n", stderr);
        std::abort();
    }
    if (message.Msg != WM_DEVICECHANGE)
        return;
    // A message box shown while a device is handled runs the event loop, which may bring
    // the next volume event. It waits until the current one is done, so that a panel
    // chosen before the box is never given to a second device meanwhile.
    pendingDeviceMessages_.push_back(message);
    if (dispatchingDevices_)
        return;
    dispatchingDevices_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{dispatchingDevices_};
    while (!pendingDeviceMessages_.empty()) {
        TMessage next = pendingDeviceMessages_.front();
        pendingDeviceMessages_.pop_front();
        OnDeviceChange(next);
    }
}
