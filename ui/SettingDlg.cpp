// The settings dialog (TfrmSetting): its controls, showing the settings and applying them.
#include "ui/SettingDlg.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "platform/SystemLanguage.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "ui/LabelCheck.h"
#include "ui/MpConfig.h"
#include "ui/Unit2.h"
#include "ui/isomain.h"
#include "ui/main.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace toolkit;

TfrmSetting* frmSetting = nullptr;

namespace {

std::string hexPattern(int32_t pattern)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<uint32_t>(pattern));
    return text;
}

std::string sizeInMB(uint64_t size)
{
    return std::to_string(size / 1024 / 1024) + "MB";
}

// A captioned control (label, check box) at its place in the form.
template <class T>
T* makeCaptioned(TWinControl* parent, const char* name, const char* caption, int l, int t, int w, int h)
{
    T* c = parent->Make<T>(name);
    c->SetCaption(caption);
    c->SetBounds(l, t, w, h);
    return c;
}

// A drop-down list at its place in the form.
TComboBox* makeCombo(TWinControl* parent, const char* name, int l, int t, int w)
{
    TComboBox* c = parent->Make<TComboBox>(name);
    c->SetBounds(l, t, w, 21);
    return c;
}

bool isExistingFile(const std::string& path)
{
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool isExistingFileOrFolder(const std::string& path)
{
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

} // namespace

bool GetImgFileSize(const std::string& path, uint64_t& size)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (ok)
        size = static_cast<uint64_t>(st.st_size);
    return ok;
}

void SelectItem(TComboBox* combo, long long index)
{
    if (!combo)
        return;
    bool valid = index >= 0 && index < combo->Items()->Count();
    combo->SetItemIndex(valid ? static_cast<int>(index) : -1);
}

namespace ui {

int32_t StrToInt(const std::string& text)
{
    auto fail = [&]() -> int32_t { throw EConvertError("'" + text + "' is not a valid integer value"); };
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return fail();
    uint64_t value = 0;
    const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return fail();
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit)
            return fail();
    }
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    return static_cast<int32_t>(bits);
}

} // namespace ui

// ---- the form ----

TfrmSetting::TfrmSetting(TWinControl* owner) : TForm("frmSetting", owner)
{
    buildControls();
    bindHandlers();
    if (!frmSetting)
        frmSetting = this;
}

TfrmSetting::~TfrmSetting()
{
    if (frmSetting == this)
        frmSetting = nullptr;
}

// The stored layout: a page control of 656 x 443 over a bottom panel with the buttons.
void TfrmSetting::buildControls()
{
    SetCaption("Setting");
    SetBounds(0, 0, 664, 490);

    pgeSetting = Make<TPageControl>("pgeSetting");
    pgeSetting->SetBounds(0, 0, 656, 443);
    buildButtonPanel();
    buildDevicePage();
    buildFlashPage();
    buildSpiPage();
    buildFactorPage();

    // The form description's list contents; FormShow fills them again.
    for (int i = 0; i <= 64; ++i)
        cboPageSkip->Items()->Add(std::to_string(i));
    cboECC->Items()->Add("Default");
    for (int i = 0; i <= 6; ++i)
        cboECC->Items()->Add(std::to_string(i));
    for (const char* n : {"Default", "0", "1", "2"})
        cboRead->Items()->Add(n);
    pgeSetting->SetActivePageIndex(0);
}

// Save and Load (hidden), Apply and Cancel below the pages.
void TfrmSetting::buildButtonPanel()
{
    Panel1 = Make<TPanel>("Panel1");
    Panel1->SetBounds(0, 443, 664, 47);
    btnSaveConfig = Panel1->Make<TButton>("btnSaveConfig");
    btnSaveConfig->SetBounds(16, 10, 75, 25);
    btnSaveConfig->SetCaption("Save");
    btnSaveConfig->SetVisible(false);
    btnLoadConfig = Panel1->Make<TButton>("btnLoadConfig");
    btnLoadConfig->SetBounds(104, 10, 75, 25);
    btnLoadConfig->SetCaption("Load");
    btnLoadConfig->SetVisible(false);
    btnApply = Panel1->Make<TButton>("btnApply");
    btnApply->SetBounds(440, 10, 89, 25);
    btnApply->SetCaption("Apply");
    btnCancel = Panel1->Make<TButton>("btnCancel");
    btnCancel->SetBounds(544, 10, 89, 25);
    btnCancel->SetCaption("Cancel");
}

// The disk split, and the hidden part's files or image.
void TfrmSetting::buildDevicePage()
{
    tabDeviceSetting = pgeSetting->Make<TTabSheet>("tabDeviceSetting");
    tabDeviceSetting->SetCaption("Device Setting");
    tabDeviceSetting->SetBounds(4, 24, 648, 415);
    grpDiskSplit = tabDeviceSetting->Make<TGroupBox>("grpDiskSplit");
    grpDiskSplit->SetCaption("DiskSplit");
    grpDiskSplit->SetBounds(8, 8, 625, 49);
    rdoNormalDisk = grpDiskSplit->Make<TRadioButton>("rdoNormalDisk");
    rdoNormalDisk->SetCaption("Normal");
    rdoNormalDisk->SetBounds(16, 20, 170, 17);
    rdoNormalDisk->SetChecked(true);
    rdoEncryptDisk = grpDiskSplit->Make<TRadioButton>("rdoEncryptDisk");
    rdoEncryptDisk->SetCaption("Encrypted disk");
    rdoEncryptDisk->SetBounds(216, 20, 170, 17);
    rdoHideDisk = grpDiskSplit->Make<TRadioButton>("rdoHideDisk");
    rdoHideDisk->SetCaption("Hidden disk");
    rdoHideDisk->SetBounds(416, 20, 170, 17);

    grpHideDisk = tabDeviceSetting->Make<TGroupBox>("grpHideDisk");
    grpHideDisk->SetCaption("Hidden Disk");
    grpHideDisk->SetBounds(8, 64, 625, 340);
    lblHideRatio = grpHideDisk->Make<TLabel>("lblHideRatio");
    lblHideRatio->SetCaption("Disk ratio");
    lblHideRatio->SetBounds(16, 26, 90, 13);
    tbarHideDiskRatio = grpHideDisk->Make<TTrackBar>("tbarHideDiskRatio");
    tbarHideDiskRatio->SetBounds(110, 16, 380, 33);
    tbarHideDiskRatio->SetMax(100);
    tbarHideDiskRatio->SetMin(1);
    tbarHideDiskRatio->SetPosition(10);
    tbarHideDiskRatio->SetFrequency(10);
    edtEncryptRatio = grpHideDisk->Make<TEdit>("edtEncryptRatio");
    edtEncryptRatio->SetBounds(500, 22, 41, 21);
    edtEncryptRatio->SetReadOnly(true);
    edtEncryptRatio->SetText("10");
    rdoUseListFile = grpHideDisk->Make<TRadioButton>("rdoUseListFile");
    rdoUseListFile->SetCaption("Manual add files");
    rdoUseListFile->SetBounds(16, 60, 200, 17);
    rdoUseListFile->SetChecked(true);
    rdoUseImgFile = grpHideDisk->Make<TRadioButton>("rdoUseImgFile");
    rdoUseImgFile->SetCaption("Use Image File");
    rdoUseImgFile->SetBounds(240, 60, 200, 17);
    buildHiddenFilesGroup();
    buildImageFileGroup();
}

// The hidden part filled from a list of files, with its label.
void TfrmSetting::buildHiddenFilesGroup()
{
    grpHiddenFiles = grpHideDisk->Make<TGroupBox>("grpHiddenFiles");
    grpHiddenFiles->SetCaption("Hidden Files");
    grpHiddenFiles->SetBounds(16, 88, 593, 240);
    lblDiskLabel = grpHiddenFiles->Make<TLabel>("lblDiskLabel");
    lblDiskLabel->SetCaption("Disk Label");
    lblDiskLabel->SetBounds(16, 24, 80, 13);
    edtDiskLabel = grpHiddenFiles->Make<TEdit>("edtDiskLabel");
    edtDiskLabel->SetBounds(100, 20, 100, 21);
    edtDiskLabel->SetMaxLength(8);
    edtDiskLabel->SetCharCase(TEditCharCase::UpperCase);
    edtDiskLabel->OnExit = [this](TControl*) { ui::AcceptLabel(hiddenLabelRefusal(), languageIndex_); };
    chkNonFS = makeCaptioned<TCheckBox>(grpHiddenFiles, "chkNonFS", "Non FileSystem", 220, 22, 130, 17);
    TntlstHideFiles = grpHiddenFiles->Make<TListBox>("TntlstHideFiles");
    TntlstHideFiles->SetBounds(16, 52, 460, 176);
    TntlstHideFiles->SetMultiSelect(true);
    btnAddFile = grpHiddenFiles->Make<TButton>("btnAddFile");
    btnAddFile->SetCaption("Add Files");
    btnAddFile->SetBounds(488, 52, 89, 25);
    btnAddDir = grpHiddenFiles->Make<TButton>("btnAddDir");
    btnAddDir->SetCaption("Add Dir");
    btnAddDir->SetBounds(488, 88, 89, 25);
    btnRemove = grpHiddenFiles->Make<TButton>("btnRemove");
    btnRemove->SetCaption("Remove");
    btnRemove->SetBounds(488, 124, 89, 25);
}

// The hidden part filled from an image file (in the same place as the file list).
void TfrmSetting::buildImageFileGroup()
{
    grpImgFile = grpHideDisk->Make<TGroupBox>("grpImgFile");
    grpImgFile->SetCaption("Image File");
    grpImgFile->SetBounds(16, 88, 593, 240);
    grpImgFile->SetVisible(false);
    lblImgDiskSize = grpImgFile->Make<TLabel>("lblImgDiskSize");
    lblImgDiskSize->SetCaption("Image Disk Size:");
    lblImgDiskSize->SetBounds(16, 28, 120, 13);
    lblImgSizeMB = grpImgFile->Make<TLabel>("lblImgSizeMB");
    lblImgSizeMB->SetBounds(140, 28, 120, 13);
    edtImgFile = grpImgFile->Make<TEdit>("edtImgFile");
    edtImgFile->SetBounds(16, 56, 460, 21);
    edtImgFile->SetReadOnly(true);
    btnBrowseImg = grpImgFile->Make<TButton>("btnBrowseImg");
    btnBrowseImg->SetCaption("...");
    btnBrowseImg->SetBounds(484, 54, 25, 25);
    btnShowImgTool = grpImgFile->Make<TButton>("btnShowImgTool");
    btnShowImgTool->SetCaption("Create");
    btnShowImgTool->SetBounds(516, 54, 65, 25);
}

// How the flash is scanned, and what a capacity shortfall does.
void TfrmSetting::buildFlashPage()
{
    tabFlashSetting = pgeSetting->Make<TTabSheet>("tabFlashSetting");
    tabFlashSetting->SetCaption("Flash Setting");
    tabFlashSetting->SetBounds(4, 24, 648, 415);
    grpBlankCheck = tabFlashSetting->Make<TGroupBox>("grpBlankCheck");
    grpBlankCheck->SetCaption("Blank Check");
    grpBlankCheck->SetBounds(8, 8, 625, 190);
    chkFastBlkChk = makeCaptioned<TCheckBox>(grpBlankCheck, "chkFastBlkChk", "Fast Blanking Check", 16, 20, 280, 17);
    auto label = &makeCaptioned<TLabel>;
    auto combo = &makeCombo;
    lblScanLevel = label(grpBlankCheck, "lblScanLevel", "Scan Level", 16, 52, 170, 13);
    cboScanLevel = combo(grpBlankCheck, "cboScanLevel", 190, 48, 130);
    lblPageSkip = label(grpBlankCheck, "lblPageSkip", "Page Skip", 16, 84, 170, 13);
    cboPageSkip = combo(grpBlankCheck, "cboPageSkip", 190, 80, 130);
    lblECCLevel = label(grpBlankCheck, "lblECCLevel", "Permit ECC", 16, 116, 170, 13);
    cboECC = combo(grpBlankCheck, "cboECC", 190, 112, 130);
    lblBadThreshold = label(grpBlankCheck, "lblBadThreshold", "Bad block rate threshold", 16, 144, 170, 30);
    edtBadThreshold = grpBlankCheck->Make<TEdit>("edtBadThreshold");
    edtBadThreshold->SetBounds(190, 148, 50, 21);
    edtBadThreshold->SetReadOnly(true);
    edtBadThreshold->SetText("10");
    UpDownBadThreshold = grpBlankCheck->Make<TUpDown>("UpDownBadThreshold");
    UpDownBadThreshold->SetBounds(240, 148, 16, 21);
    UpDownBadThreshold->SetMin(0);
    UpDownBadThreshold->SetMax(100);
    UpDownBadThreshold->SetPosition(10);
    Label1 = label(grpBlankCheck, "Label1", "%", 262, 152, 12, 13);
    chkPageScan = makeCaptioned<TCheckBox>(grpBlankCheck, "chkPageScan", "Special Scan", 360, 50, 200, 17);
    cboPageMode = combo(grpBlankCheck, "cboPageMode", 360, 80, 180);
    lblReadTimes = label(grpBlankCheck, "lblReadTimes", "Read Times", 360, 116, 95, 13);
    cboRead = combo(grpBlankCheck, "cboRead", 460, 112, 80);
    Tntlblpattern = label(grpBlankCheck, "Tntlblpattern", "Pattern", 360, 152, 95, 13);
    edtpattern = tabFlashSetting->Make<TEdit>("edtpattern");
    edtpattern->SetBounds(468, 156, 80, 21);
    buildCapacityRuleGroup();
}

void TfrmSetting::buildCapacityRuleGroup()
{
    auto label = &makeCaptioned<TLabel>;
    grpCapacityRule = tabFlashSetting->Make<TGroupBox>("grpCapacityRule");
    grpCapacityRule->SetCaption("Capacity Rule");
    grpCapacityRule->SetBounds(8, 206, 625, 120);
    lblAllowCapError = label(grpCapacityRule, "lblAllowCapError", "Allow Capacity Error", 16, 28, 150, 13);
    edtCapError = grpCapacityRule->Make<TEdit>("edtCapError");
    edtCapError->SetBounds(170, 24, 40, 21);
    edtCapError->SetReadOnly(true);
    edtCapError->SetText("2");
    UpDownCapError = grpCapacityRule->Make<TUpDown>("UpDownCapError");
    UpDownCapError->SetBounds(210, 24, 16, 21);
    UpDownCapError->SetMax(20);
    UpDownCapError->SetMin(1);
    UpDownCapError->SetPosition(2);
    Label3 = label(grpCapacityRule, "Label3", "%", 232, 28, 12, 13);
    grpCapErrorDeal = grpCapacityRule->Make<TGroupBox>("grpCapErrorDeal");
    grpCapErrorDeal->SetCaption("Deal With unsatisfying");
    grpCapErrorDeal->SetBounds(300, 12, 310, 96);
    rdoDegrade = grpCapErrorDeal->Make<TRadioButton>("rdoDegrade");
    rdoDegrade->SetCaption("Degrade");
    rdoDegrade->SetBounds(16, 20, 250, 17);
    rdoDegrade->SetChecked(true);
    rdoCapShowFail = grpCapErrorDeal->Make<TRadioButton>("rdoCapShowFail");
    rdoCapShowFail->SetCaption("Show Error");
    rdoCapShowFail->SetBounds(16, 44, 250, 17);
    rdoDonotCare = grpCapErrorDeal->Make<TRadioButton>("rdoDonotCare");
    rdoDonotCare->SetCaption("Do not care");
    rdoDonotCare->SetBounds(16, 68, 250, 17);
}

// The SPI (NOR) flash: its saved image and its hidden files.
void TfrmSetting::buildSpiPage()
{
    tabSpiSetting = pgeSetting->Make<TTabSheet>("tabSpiSetting");
    tabSpiSetting->SetCaption("Nor Flash Setting");
    tabSpiSetting->SetBounds(4, 24, 648, 415);
    chkSaveSpiImage = makeCaptioned<TCheckBox>(tabSpiSetting, "chkSaveSpiImage", "Save Flash Image", 16, 16, 280, 17);
    grpSpiHiddenFile = tabSpiSetting->Make<TGroupBox>("grpSpiHiddenFile");
    grpSpiHiddenFile->SetCaption("Hidden Files in Nor Flash");
    grpSpiHiddenFile->SetBounds(8, 44, 625, 340);
    TntlstSpiFiles = grpSpiHiddenFile->Make<TListBox>("TntlstSpiFiles");
    TntlstSpiFiles->SetBounds(16, 24, 480, 300);
    TntlstSpiFiles->SetMultiSelect(true);
    btnAddSpiFile = grpSpiHiddenFile->Make<TButton>("btnAddSpiFile");
    btnAddSpiFile->SetCaption("Add Files");
    btnAddSpiFile->SetBounds(512, 24, 89, 25);
    btnRmvSpiFile = grpSpiHiddenFile->Make<TButton>("btnRmvSpiFile");
    btnRmvSpiFile->SetCaption("Remove");
    btnRmvSpiFile->SetBounds(512, 60, 89, 25);
}

// The flash module count (the capacity multiplier).
void TfrmSetting::buildFactorPage()
{
    tabFactorSet = pgeSetting->Make<TTabSheet>("tabFactorSet");
    tabFactorSet->SetCaption("Factor Setting");
    tabFactorSet->SetBounds(4, 24, 648, 415);
    lblCapMultiplier = makeCaptioned<TLabel>(tabFactorSet, "lblCapMultiplier", "Capacity Multiplier", 16, 24, 240, 13);
    pnlFlashModuleNo = tabFactorSet->Make<TPanel>("pnlFlashModuleNo");
    pnlFlashModuleNo->SetCaption("0");
    pnlFlashModuleNo->SetBounds(16, 48, 100, 21);
    cboFlashModuleNo = makeCombo(tabFactorSet, "cboFlashModuleNo", 130, 48, 100);
    cboFlashModuleNo->SetVisible(false);
    for (const char* n : {"1", "2", "4", "8", "16", "32"})
        cboFlashModuleNo->Items()->Add(n);
}

void TfrmSetting::bindHandlers()
{
    auto bind = [this](void (TfrmSetting::*handler)(TControl*)) {
        return [this, handler](TControl* s) { (this->*handler)(s); };
    };
    OnShow = bind(&TfrmSetting::FormShow);
    btnApply->OnClick = bind(&TfrmSetting::btnApplyClick);
    btnCancel->OnClick = bind(&TfrmSetting::btnCancelClick);
    cboScanLevel->OnChange = bind(&TfrmSetting::cboScanLevelChange);
    cboRead->OnChange = bind(&TfrmSetting::cboScanLevelChange);
    chkPageScan->OnClick = bind(&TfrmSetting::chkPageScanClick);
    cboPageSkip->OnClick = bind(&TfrmSetting::cboPageSkipClick);
    UpDownBadThreshold->OnClick = bind(&TfrmSetting::UpDownBadThresholdClick);
    UpDownCapError->OnClick = bind(&TfrmSetting::UpDownCapErrorClick);
    tbarHideDiskRatio->OnChange = bind(&TfrmSetting::tbarHideDiskRatioChange);
    rdoNormalDisk->OnClick = bind(&TfrmSetting::rdoNormalDiskClick);
    rdoEncryptDisk->OnClick = bind(&TfrmSetting::rdoEncryptDiskClick);
    rdoHideDisk->OnClick = bind(&TfrmSetting::rdoHideDiskClick);
    rdoUseListFile->OnClick = bind(&TfrmSetting::rdoUseListFileClick);
    rdoUseImgFile->OnClick = bind(&TfrmSetting::rdoUseListFileClick);
    btnBrowseImg->OnClick = bind(&TfrmSetting::btnBrowseImgClick);
    btnShowImgTool->OnClick = bind(&TfrmSetting::btnShowImgToolClick);
    btnAddFile->OnClick = bind(&TfrmSetting::btnAddFileClick);
    btnAddDir->OnClick = bind(&TfrmSetting::btnAddDirClick);
    btnRemove->OnClick = bind(&TfrmSetting::btnRemoveClick);
    btnAddSpiFile->OnClick = bind(&TfrmSetting::btnAddSpiFileClick);
    btnRmvSpiFile->OnClick = bind(&TfrmSetting::btnRmvSpiFileClick);
    chkNonFS->OnClick = bind(&TfrmSetting::chkNonFSClick);
    chkFastBlkChk->OnMouseUp = bind(&TfrmSetting::chkFastBlkChkMouseUp);
    btnSaveConfig->OnClick = bind(&TfrmSetting::btnSaveConfigClick);
    btnLoadConfig->OnClick = bind(&TfrmSetting::btnLoadConfigClick);
}

TForm1* TfrmSetting::mainWindow() const
{
    return MainWindow ? MainWindow : Form1;
}

std::string TfrmSetting::hiddenLabelRefusal() const
{
    return ui::LabelRefusal(edtDiskLabel->Text(), platform::StationCodePage());
}

int TfrmSetting::box(int textRow, const std::string& caption, uint32_t flags)
{
    return TheDialogs().MessageBox(MessageCatalogue(textRow, languageIndex_), caption, flags);
}

void TfrmSetting::Close(int modalResult)
{
    SetModalResult(modalResult);
}

void TfrmSetting::SetLanguage()
{
    TForm1* main = mainWindow();
    languageIndex_ = main ? main->LanguageIndex.load() : kLanguageEnglish;
    const std::pair<TControl*, MessageRow> captions[] = {
        {grpBlankCheck, kRowBlankCheck},          {lblScanLevel, kRowScanLevel},
        {lblPageSkip, kRowPageSkip},              {lblReadTimes, kRowReadTimes},
        {lblECCLevel, kRowPermitEcc},             {btnApply, kRowApply},
        {btnCancel, kRowCancel},                  {tabFactorSet, kRowFactorySetting},
        {lblCapMultiplier, kRowFlashModuleNo},    {tabFlashSetting, kRowFlashSetting},
        {lblBadThreshold, kRowBadRateThreshold},  {btnSaveConfig, kRowSave},
        {btnLoadConfig, kRowLoad},                {tabDeviceSetting, kRowDeviceSetting},
        {grpDiskSplit, kRowDiskSplit},            {rdoNormalDisk, kRowNormal},
        {rdoEncryptDisk, kRowEncrypted},          {rdoHideDisk, kRowHidden},
        {grpHideDisk, kRowHiddenOrEncrypted},     {lblHideRatio, kRowDiskRatio},
        {grpHiddenFiles, kRowHiddenFiles},        {btnAddFile, kRowAddFiles},
        {btnAddDir, kRowAddDir},                  {btnRemove, kRowRemove},
        {lblDiskLabel, kRowDiskLabel},            {grpCapacityRule, kRowCapacityRule},
        {lblAllowCapError, kRowAllowCapacityError}, {grpCapErrorDeal, kRowCapacityShortfall},
        {rdoDegrade, kRowDegrade},                {rdoCapShowFail, kRowShowError},
        {rdoDonotCare, kRowDoNotCare},            {chkPageScan, kRowSpecialScan},
        {grpSpiHiddenFile, kRowNorHiddenFiles},   {btnAddSpiFile, kRowAddFiles},
        {btnRmvSpiFile, kRowRemove},              {tabSpiSetting, kRowNorSetting},
        {chkSaveSpiImage, kRowSaveFlashImage},    {grpImgFile, kRowImageFile},
        {rdoUseListFile, kRowManualAddFiles},     {rdoUseImgFile, kRowUseImageFile},
        {lblImgDiskSize, kRowImageDiskSize},      {btnShowImgTool, kRowCreate},
        {chkFastBlkChk, kRowFastBlankCheck},
    };
    for (const auto& [control, row] : captions)
        control->SetCaption(MessageCatalogue(row, languageIndex_));
}

void TfrmSetting::FormShow(TControl*)
{
    TForm1* main = mainWindow();
    SetLanguage();
    if (!main)
        return;
    const ProductionSettings& s = *main;
    SetActiveControl(nullptr);

    // The order matters: the scan level decides which scan controls are enabled, the
    // image-or-list choice which hidden-part group shows, and the disk mode narrows the
    // ratio's range after the ratio is shown.
    showModuleCount(s);
    const bool customLevel = showScanChoices(s, main->LanguageIndex);
    showPageScan(s, customLevel);
    UpDownBadThreshold->SetPosition(static_cast<int16_t>(s.iBadThreshold));
    edtBadThreshold->SetText(std::to_string(UpDownBadThreshold->Position()));
    showHiddenPart(s);
    showDiskMode(s.eDeviceFeature);
    showCapacityRule(s);
}

void TfrmSetting::showModuleCount(const ProductionSettings& s)
{
    // The module count is chosen from a list, not shown as a number.
    cboFlashModuleNo->SetLeft(lblCapMultiplier->Left());
    cboFlashModuleNo->SetVisible(true);
    pnlFlashModuleNo->SetVisible(false);
    SelectItem(cboFlashModuleNo, s.iFlashModuleNo);
}

bool TfrmSetting::showScanChoices(const ProductionSettings& s, unsigned mainLanguage)
{
    // The scan levels in the main window's language, the other lists in the dialog's.
    cboScanLevel->Items()->Clear();
    for (int i = 0; i < kScanLevels; ++i)
        cboScanLevel->Items()->Add(ScanLevelName(i, mainLanguage));
    pgeSetting->SetActivePageIndex(0);
    SelectItem(cboScanLevel, std::min<uint32_t>(static_cast<uint32_t>(s.iScanLevel), kScanLevels - 1));
    const bool customLevel = cboScanLevel->ItemIndex() == 5;

    cboPageSkip->Items()->Clear();
    for (int i = 0; i <= 64; ++i)
        cboPageSkip->Items()->Add(std::to_string(i));
    SelectItem(cboPageSkip, s.iPageSkip);
    // Read times count only at the custom level.
    cboRead->Items()->Clear();
    cboRead->Items()->Add(MessageCatalogue(kRowDefault, languageIndex_));
    for (const char* n : {"0", "1", "2"})
        cboRead->Items()->Add(n);
    SelectItem(cboRead, s.iReadTimes);
    cboRead->SetEnabled(customLevel);
    cboECC->Items()->Clear();
    cboECC->Items()->Add(MessageCatalogue(kRowDefault, languageIndex_));
    for (int i = 0; i <= 6; ++i)
        cboECC->Items()->Add(std::to_string(i));
    SelectItem(cboECC, s.iEccLevel);
    return customLevel;
}

void TfrmSetting::showPageScan(const ProductionSettings& s, bool customLevel)
{
    cboPageMode->Items()->Clear();
    for (int i = 0; i < kPageModes; ++i)
        cboPageMode->Items()->Add(PageModeName(i, languageIndex_));
    SelectItem(cboPageMode, s.PageModeSel);
    // The special scan box shows the stored choice too; left as it was, an Apply made
    // for any other change would silently switch a loaded special scan off.
    chkPageScan->SetChecked(s.PageMode);
    if (customLevel) {
        cboPageMode->SetEnabled(false);
        chkPageScan->SetEnabled(false);
    } else {
        chkPageScan->SetEnabled(true);
        cboPageMode->SetEnabled(chkPageScan->Checked());
    }

    // The option is offered only on stations that allow it.
    if (RegReadInteger(ui::kFastBlankKey, ui::kFastBlankValue, 0) == 0)
        chkFastBlkChk->SetChecked(false);
    else
        chkFastBlkChk->SetChecked(s.bFastBlankCheck);

    // At the custom level the page mode stays disabled, as set above, even with a stored
    // special scan ticked.
    if (!customLevel)
        chkPageScanClick(chkPageScan);
    lblScanLevelClick(lblScanLevel);
}

void TfrmSetting::showHiddenPart(const ProductionSettings& s)
{
    if (s.bUseImgFile) {
        rdoUseImgFile->SetChecked(true);
        imageOrListRule(false);
    } else {
        rdoUseListFile->SetChecked(true);
        imageOrListRule(true);
    }
    edtImgFile->SetText(s.ImageFile);

    // The full range first, so that a ratio of 100 left by a hidden-disk showing is not
    // cut to 99 for an encrypted disk; the disk mode narrows it again.
    tbarHideDiskRatio->SetMax(100);
    tbarHideDiskRatio->SetPosition(s.iHideDiskRatio);
    edtDiskLabel->SetText(s.sHideDiskLabel);

    // Entries gone from the disk are left out.
    TntlstHideFiles->Items()->Clear();
    for (const std::string& entry : s.HideFileList.ToVector())
        if (isExistingFileOrFolder(entry))
            TntlstHideFiles->Items()->Add(entry);
    TntlstSpiFiles->Items()->Clear();
    for (const std::string& entry : s.SpiFileList.ToVector())
        if (isExistingFile(entry))
            TntlstSpiFiles->Items()->Add(entry);
}

void TfrmSetting::showDiskMode(uint8_t mode)
{
    if (mode == 2) {
        rdoHideDisk->SetChecked(true);
        rdoHideDiskClick(rdoHideDisk);
        tbarHideDiskRatioChange(tbarHideDiskRatio);
    } else if (mode == 1) {
        rdoEncryptDisk->SetChecked(true);
        rdoEncryptDiskClick(rdoEncryptDisk);
    } else {
        rdoNormalDisk->SetChecked(true);
        rdoNormalDiskClick(rdoNormalDisk);
    }
}

void TfrmSetting::showCapacityRule(const ProductionSettings& s)
{
    UpDownCapError->SetPosition(static_cast<int16_t>(s.AllowErrorRate));
    edtCapError->SetText(std::to_string(UpDownCapError->Position()));
    if (s.DealCapError == 0)
        rdoDegrade->SetChecked(true);
    else if (s.DealCapError == 1)
        rdoCapShowFail->SetChecked(true);
    else
        rdoDonotCare->SetChecked(true);
    chkSaveSpiImage->SetChecked(s.SaveSpiImage);
    chkNonFS->SetChecked(s.bNonFileSystem);
}

void TfrmSetting::btnApplyClick(TControl*)
{
    TForm1* main = mainWindow();
    if (!main)
        return;
    ProductionSettings& s = *main;

    // An encrypted or hidden disk filled from an image needs a readable image file.
    if ((rdoEncryptDisk->Checked() || rdoHideDisk->Checked()) && rdoUseImgFile->Checked()) {
        std::string path = edtImgFile->Text();
        uint64_t size = 0;
        if (path.empty() || !isExistingFile(path) || !GetImgFileSize(path, size)) {
            box(kRowInvalidImage, "Fail", MB_OK | MB_ICONERROR);
            pgeSetting->SetActivePageIndex(0);
            edtImgFile->SetFocus();
            return;
        }
    }

    // The hidden part's label (a part filled from the list gets it), in the code page the
    // device's label is written in.
    if ((rdoEncryptDisk->Checked() || rdoHideDisk->Checked()) && !rdoUseImgFile->Checked() && !chkNonFS->Checked() &&
        !ui::AcceptLabel(hiddenLabelRefusal(), languageIndex_)) {
        pgeSetting->SetActivePageIndex(0);
        edtDiskLabel->SetFocus();
        return;
    }

    // A changed module count is written into the firmware file at once.
    int module = cboFlashModuleNo->ItemIndex();
    if (module != s.iFlashModuleNo)
        main->WriteFirmwareMultiplier(module);
    s.iFlashModuleNo = module;

    // A text that is not a number stops Apply here (EConvertError).
    s.bFastBlankCheck = chkFastBlkChk->Checked();
    s.iScanLevel = cboScanLevel->ItemIndex();
    if (s.iScanLevel == 5)
        s.Pattern = ui::StrToInt(edtpattern->Text()) & production::kPatternMask;
    s.iPageSkip = ui::StrToInt(cboPageSkip->Text());
    s.iReadTimes = cboRead->ItemIndex();
    s.iEccLevel = cboECC->ItemIndex();
    s.iBadThreshold = ui::StrToInt(edtBadThreshold->Text());

    // The disk mode, and its text in the main window's language.
    unsigned mainLanguage = main->LanguageIndex;
    std::string feature;
    if (rdoHideDisk->Checked()) {
        s.eDeviceFeature = 2;
        s.iHideDiskRatio = tbarHideDiskRatio->Position();
        s.sHideDiskLabel = edtDiskLabel->Text();
        feature = rdoHideDisk->Caption() + std::to_string(s.iHideDiskRatio) + "%";
    } else if (rdoEncryptDisk->Checked()) {
        s.eDeviceFeature = 1;
        s.iHideDiskRatio = tbarHideDiskRatio->Position();
        s.sHideDiskLabel = edtDiskLabel->Text();
        feature = std::string(MessageCatalogue(kRowEncrypted, mainLanguage)) + std::to_string(s.iHideDiskRatio) + "%";
    } else {
        s.eDeviceFeature = 0;
        feature = MessageCatalogue(kRowNormal, mainLanguage);
    }
    if (main->labDiskFeature)
        main->labDiskFeature->SetCaption(feature);

    s.HideFileList.Assign(TntlstHideFiles->Items()->ToVector());
    s.SpiFileList.Assign(TntlstSpiFiles->Items()->ToVector());
    s.bUseImgFile = rdoUseImgFile->Checked();
    s.ImageFile = edtImgFile->Text();
    s.AllowErrorRate = ui::StrToInt(edtCapError->Text());
    s.DealCapError = rdoCapShowFail->Checked() ? 1 : rdoDegrade->Checked() ? 0 : 2;
    s.PageMode = chkPageScan->Checked();
    s.PageModeSel = cboPageMode->ItemIndex();
    s.SaveSpiImage = chkSaveSpiImage->Checked();
    s.bNonFileSystem = chkNonFS->Checked();

    Close(mrOk);
}

void TfrmSetting::btnCancelClick(TControl*)
{
    Close(mrCancel);
}

void TfrmSetting::cboScanLevelChange(TControl*)
{
    bool custom = cboScanLevel->ItemIndex() == 5;
    Tntlblpattern->SetEnabled(custom);
    edtpattern->SetEnabled(custom);
    cboRead->SetEnabled(custom);
    chkPageScan->SetEnabled(!custom);
    cboPageMode->SetEnabled(!custom);
}

void TfrmSetting::lblScanLevelClick(TControl*)
{
    TForm1* main = mainWindow();
    const bool custom = main && main->iScanLevel == 5;
    Tntlblpattern->SetEnabled(custom);
    edtpattern->SetEnabled(custom);
    if (!custom)
        chkPageScanClick(chkPageScan);
    edtpattern->SetText(hexPattern(main ? main->Pattern : 0));
}

void TfrmSetting::chkPageScanClick(TControl*)
{
    cboPageMode->SetEnabled(chkPageScan->Checked());
}

void TfrmSetting::cboPageSkipClick(TControl*)
{
    if (cboPageSkip->ItemIndex() >= 1)
        box(kRowSkipWarning, MessageCatalogue(kRowWarning, languageIndex_), MB_OK | MB_ICONWARNING);
}

void TfrmSetting::UpDownBadThresholdClick(TControl*)
{
    edtBadThreshold->SetText(std::to_string(UpDownBadThreshold->Position()));
}

void TfrmSetting::UpDownCapErrorClick(TControl*)
{
    edtCapError->SetText(std::to_string(UpDownCapError->Position()));
}

void TfrmSetting::tbarHideDiskRatioChange(TControl*)
{
    int position = tbarHideDiskRatio->Position();
    edtEncryptRatio->SetText(std::to_string(position));
    ratioSelEnd_ = position;
}

void TfrmSetting::rdoNormalDiskClick(TControl*)
{
    grpHideDisk->SetVisible(false);
}

void TfrmSetting::rdoEncryptDiskClick(TControl*)
{
    grpHideDisk->SetVisible(true);
    tbarHideDiskRatio->SetMax(100);
    tbarHideDiskRatioChange(tbarHideDiskRatio);
}

void TfrmSetting::rdoHideDiskClick(TControl*)
{
    grpHideDisk->SetVisible(true);
    tbarHideDiskRatio->SetMax(99);  // a hidden disk leaves at least 1 % to the normal one
    tbarHideDiskRatioChange(tbarHideDiskRatio);
}

void TfrmSetting::rdoUseListFileClick(TControl* Sender)
{
    imageOrListRule(Sender && Sender->Name() == "rdoUseListFile");
}

void TfrmSetting::imageOrListRule(bool useList)
{
    TGroupBox* shown = useList ? grpHiddenFiles : grpImgFile;
    TGroupBox* hidden = useList ? grpImgFile : grpHiddenFiles;
    shown->SetLeft(16);
    shown->SetTop(88);
    shown->SetVisible(true);
    hidden->SetVisible(false);
    if (useList)
        return;
    TForm1* main = mainWindow();
    uint64_t size = 0;
    if (main && isExistingFile(main->ImageFile) && GetImgFileSize(main->ImageFile, size))
        lblImgSizeMB->SetCaption(sizeInMB(size));
}

void TfrmSetting::btnBrowseImgClick(TControl*)
{
    FileDialogOptions options;
    options.filter = "Image File *.IMG|*.IMG";
    options.defaultExt = "IMG";
    std::vector<std::string> files = TheDialogs().OpenFiles(options);
    if (files.empty())
        return;
    uint64_t size = 0;
    if (!GetImgFileSize(files.front(), size)) {
        box(kRowInvalidImage, "Fail", MB_OK | MB_ICONERROR);
        return;
    }
    lblImgSizeMB->SetCaption(sizeInMB(size));
    edtImgFile->SetText(files.front());
}

void TfrmSetting::btnShowImgToolClick(TControl*)
{
    if (ShowImageDialog)
        ShowImageDialog();
    else
        ShowGlobalImageDialog(*this);
    // The image dialog may have put a new image's path into the edit: the size beside it
    // is that image's, and no other one's.
    uint64_t size = 0;
    const std::string path = edtImgFile->Text();
    lblImgSizeMB->SetCaption(isExistingFile(path) && GetImgFileSize(path, size) ? sizeInMB(size) : std::string());
}

void TfrmSetting::btnAddFileClick(TControl*)
{
    FileDialogOptions options;
    options.multiSelect = true;
    for (std::string& file : TheDialogs().OpenFiles(options))
        TntlstHideFiles->Items()->Add(std::move(file));
}

void TfrmSetting::btnAddDirClick(TControl*)
{
    std::string folder;
    if (SelectDirectory("", "Select Directory", folder))
        TntlstHideFiles->Items()->Add(folder);
}

namespace {

void removeSelected(TListBox* list)
{
    for (int i = list->Items()->Count() - 1; i >= 0; --i)
        if (list->Selected(i))
            list->Items()->Delete(i);
}

} // namespace

void TfrmSetting::btnRemoveClick(TControl*)
{
    removeSelected(TntlstHideFiles);
}

void TfrmSetting::btnAddSpiFileClick(TControl*)
{
    FileDialogOptions options;
    options.filter = "All File Format(*.*)|*.*";
    options.defaultExt = "*.*";
    options.multiSelect = true;
    for (std::string& file : TheDialogs().OpenFiles(options))
        TntlstSpiFiles->Items()->Add(std::move(file));
}

void TfrmSetting::btnRmvSpiFileClick(TControl*)
{
    removeSelected(TntlstSpiFiles);
}

void TfrmSetting::chkNonFSClick(TControl*)
{
    bool fileSystem = !chkNonFS->Checked();
    lblDiskLabel->SetEnabled(fileSystem);
    edtDiskLabel->SetEnabled(fileSystem);
    btnAddDir->SetEnabled(fileSystem);
}

void TfrmSetting::chkFastBlkChkMouseUp(TControl*)
{
    if (!chkFastBlkChk->Checked())
        return;
    int answer = box(kRowFastBlankWarning, MessageCatalogue(kRowWarning, languageIndex_), MB_YESNO | MB_ICONWARNING);
    if (answer != IDYES)
        chkFastBlkChk->SetChecked(false);
    // The password dialog decides the final state whatever the answer.
    TForm2* password = PasswordDialog ? PasswordDialog : Form2;
    if (password)
        password->ShowModal();
}

namespace {

FileDialogOptions mpFileOptions(const char* filter)
{
    FileDialogOptions options;
    options.filter = filter;
    options.defaultExt = "mp";
    options.initialDir = platform::ProgramDir();
    return options;
}

// The dialogs add the default extension to a name typed without one; a relative name
// is taken in the program folder, never the process's current folder.
std::string chosenMpPath(std::string path, bool addExtension)
{
    if (addExtension && std::filesystem::path(path).extension().empty())
        path += ".mp";
    if (std::filesystem::path(path).is_relative())
        path = platform::ProgramPath(path);
    return path;
}

} // namespace

void TfrmSetting::btnSaveConfigClick(TControl*)
{
    std::optional<std::string> file = TheDialogs().SaveFile(mpFileOptions("MP file(*.mp)|*.mp"));
    if (!file || file->empty())
        return;
    ui::SaveMpConfig(*this, chosenMpPath(*file, true));
}

void TfrmSetting::btnLoadConfigClick(TControl*)
{
    std::vector<std::string> files = TheDialogs().OpenFiles(mpFileOptions("MP File(*.mp)|*.mp"));
    if (files.empty())
        return;
    ui::LoadMpConfig(*this, chosenMpPath(files.front(), false));
}

void ShowGlobalImageDialog(TfrmSetting& dialog)
{
    if (!frmIsoMain)
        return;
    frmIsoMain->SettingImgFileEdit = dialog.edtImgFile;
    frmIsoMain->ShowModal();
}
