#pragma once
// The settings dialog: the operator edits the main window's production settings here.
// Showing it copies the settings into its controls (FormShow); Apply checks the image
// choice, copies the controls back, updates the main window's disk-mode label and writes
// a changed flash module number into the firmware file; Cancel and the close box leave
// the settings as they were. Two invisible buttons save and load part of the controls
// as a .mp file (ui/MpConfig.h).
//
// The dialog is created once at start-up and only hidden when closed, so its controls
// keep their states between showings. Everything runs on the user-interface thread.
// Handlers that convert a text to an integer throw EConvertError, which the view reports
// in a message box as the class library did; the dialog then stays open.
#include "text/ScanNames.h"
#include "toolkit/Controls.h"

#include <cstdint>
#include <stdexcept>
#include <string>

class TForm1;
class TForm2;
class TfrmIsoMain;
struct ProductionSettings;

namespace ui {

// The platform's conversion error; its text is "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The platform's integer parser: leading blanks, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". A decimal value must fit a signed
// 32-bit integer; a hexadecimal one may use all 32 bits (0xFFFFFFFF is -1). Anything
// else throws EConvertError.
int32_t StrToInt(const std::string& text);

// The registry key and value that allow the Fast Blanking Check option.
inline constexpr const char* kFastBlankKey = "SoftWare\\KOV6125\\Vornagel28";
inline constexpr const char* kFastBlankValue = "FastblkcheckID";

} // namespace ui

// 64-bit size of a file that can be opened for reading and writing; false (size
// untouched) when it cannot be opened or is not a regular file.
bool GetImgFileSize(const std::string& path, uint64_t& size);

class TfrmSetting : public toolkit::TForm {
public:
    // Builds the controls and binds the handlers.
    explicit TfrmSetting(toolkit::TWinControl* owner = nullptr);
    ~TfrmSetting() override;

    // ---- controls (owned by the form) ----
    toolkit::TPageControl* pgeSetting;
    toolkit::TPanel* Panel1;
    toolkit::TButton* btnApply;
    toolkit::TButton* btnCancel;
    toolkit::TButton* btnSaveConfig;   // invisible
    toolkit::TButton* btnLoadConfig;   // invisible

    // page 0: device setting
    toolkit::TTabSheet* tabDeviceSetting;
    toolkit::TGroupBox* grpDiskSplit;
    toolkit::TRadioButton* rdoNormalDisk;
    toolkit::TRadioButton* rdoEncryptDisk;
    toolkit::TRadioButton* rdoHideDisk;
    toolkit::TGroupBox* grpHideDisk;
    toolkit::TLabel* lblHideRatio;
    toolkit::TTrackBar* tbarHideDiskRatio;  // 1 .. 100 (99 in hidden mode)
    toolkit::TEdit* edtEncryptRatio;        // read-only
    toolkit::TRadioButton* rdoUseListFile;
    toolkit::TRadioButton* rdoUseImgFile;
    toolkit::TGroupBox* grpHiddenFiles;
    toolkit::TLabel* lblDiskLabel;
    toolkit::TEdit* edtDiskLabel;           // at most 8 characters, upper case
    toolkit::TCheckBox* chkNonFS;
    toolkit::TListBox* TntlstHideFiles;
    toolkit::TButton* btnAddFile;
    toolkit::TButton* btnAddDir;
    toolkit::TButton* btnRemove;
    toolkit::TGroupBox* grpImgFile;
    toolkit::TLabel* lblImgDiskSize;
    toolkit::TLabel* lblImgSizeMB;
    toolkit::TEdit* edtImgFile;             // read-only
    toolkit::TButton* btnBrowseImg;
    toolkit::TButton* btnShowImgTool;

    // page 1: flash setting
    toolkit::TTabSheet* tabFlashSetting;
    toolkit::TGroupBox* grpBlankCheck;
    toolkit::TCheckBox* chkFastBlkChk;      // bound to its mouse-up, not its click
    toolkit::TComboBox* cboScanLevel;
    toolkit::TComboBox* cboPageSkip;
    toolkit::TComboBox* cboECC;
    toolkit::TEdit* edtBadThreshold;        // read-only
    toolkit::TUpDown* UpDownBadThreshold;   // 0 .. 100
    toolkit::TCheckBox* chkPageScan;
    toolkit::TComboBox* cboPageMode;
    toolkit::TComboBox* cboRead;
    toolkit::TLabel* lblScanLevel;
    toolkit::TLabel* lblPageSkip;
    toolkit::TLabel* lblECCLevel;
    toolkit::TLabel* lblBadThreshold;
    toolkit::TLabel* lblReadTimes;
    toolkit::TLabel* Label1;                // "%"
    toolkit::TLabel* Tntlblpattern;
    toolkit::TEdit* edtpattern;
    toolkit::TGroupBox* grpCapacityRule;
    toolkit::TLabel* lblAllowCapError;
    toolkit::TEdit* edtCapError;            // read-only
    toolkit::TUpDown* UpDownCapError;       // 1 .. 20
    toolkit::TLabel* Label3;                // "%"
    toolkit::TGroupBox* grpCapErrorDeal;
    toolkit::TRadioButton* rdoDegrade;
    toolkit::TRadioButton* rdoCapShowFail;
    toolkit::TRadioButton* rdoDonotCare;

    // page 2: SPI flash setting
    toolkit::TTabSheet* tabSpiSetting;
    toolkit::TCheckBox* chkSaveSpiImage;
    toolkit::TGroupBox* grpSpiHiddenFile;
    toolkit::TListBox* TntlstSpiFiles;
    toolkit::TButton* btnAddSpiFile;
    toolkit::TButton* btnRmvSpiFile;

    // page 3: factory setting
    toolkit::TTabSheet* tabFactorSet;
    toolkit::TLabel* lblCapMultiplier;
    toolkit::TPanel* pnlFlashModuleNo;
    toolkit::TComboBox* cboFlashModuleNo;   // "1" .. "32"

    // The track bar's selection end (the ratio it shows as selected).
    int tbarHideDiskRatioSelEnd() const { return ratioSelEnd_; }
    // The control that has the focus (after a failed Apply: the image path).
    toolkit::TControl* FocusedControl() const { return ActiveControl(); }
    // The dialog's copy of the main window's language, taken at every showing.
    unsigned LanguageIndex() const { return languageIndex_; }

    // ---- event handlers ----
    void FormShow(toolkit::TControl* Sender);
    void SetLanguage();
    void btnApplyClick(toolkit::TControl* Sender);
    void btnCancelClick(toolkit::TControl* Sender);
    void cboScanLevelChange(toolkit::TControl* Sender);
    void lblScanLevelClick(toolkit::TControl* Sender);
    void chkPageScanClick(toolkit::TControl* Sender);
    void cboPageSkipClick(toolkit::TControl* Sender);
    void UpDownBadThresholdClick(toolkit::TControl* Sender);
    void UpDownCapErrorClick(toolkit::TControl* Sender);
    void tbarHideDiskRatioChange(toolkit::TControl* Sender);
    void rdoNormalDiskClick(toolkit::TControl* Sender);
    void rdoEncryptDiskClick(toolkit::TControl* Sender);
    void rdoHideDiskClick(toolkit::TControl* Sender);
    void rdoUseListFileClick(toolkit::TControl* Sender);  // also rdoUseImgFile's
    void btnBrowseImgClick(toolkit::TControl* Sender);
    void btnShowImgToolClick(toolkit::TControl* Sender);
    void btnAddFileClick(toolkit::TControl* Sender);
    void btnAddDirClick(toolkit::TControl* Sender);
    void btnRemoveClick(toolkit::TControl* Sender);
    void btnAddSpiFileClick(toolkit::TControl* Sender);
    void btnRmvSpiFileClick(toolkit::TControl* Sender);
    void chkNonFSClick(toolkit::TControl* Sender);
    void chkFastBlkChkMouseUp(toolkit::TControl* Sender);
    void btnSaveConfigClick(toolkit::TControl* Sender);
    void btnLoadConfigClick(toolkit::TControl* Sender);

    // Hides the dialog with a modal result (Apply: mrOk, Cancel: mrCancel).
    void Close(int modalResult = toolkit::mrCancel);

    // ---- seams (null: the global forms) ----
    TForm1* MainWindow = nullptr;        // whose settings are edited (Form1)
    TForm2* PasswordDialog = nullptr;    // the Fast Blanking Check password (Form2)
    // Shows the image dialog modally; unset: the global image dialog, told to put the
    // path of an image it creates into edtImgFile.
    std::function<void()> ShowImageDialog;

private:
    void buildControls();
    void buildButtonPanel();
    void buildDevicePage();
    void buildHiddenFilesGroup();
    void buildImageFileGroup();
    void buildFlashPage();
    void buildCapacityRuleGroup();
    void buildSpiPage();
    void buildFactorPage();
    void bindHandlers();
    // FormShow's parts, in the order it runs them.
    void showModuleCount(const ProductionSettings& s);
    bool showScanChoices(const ProductionSettings& s, unsigned mainLanguage); // true: the custom level
    void showPageScan(const ProductionSettings& s, bool customLevel);
    void showHiddenPart(const ProductionSettings& s);
    void showDiskMode(uint8_t mode);
    void showCapacityRule(const ProductionSettings& s);
    TForm1* mainWindow() const;
    // The image-or-list rule, decided by which of the two radio buttons is meant.
    void imageOrListRule(bool useList);
    // Message box in the dialog's language (caption row, text row).
    int box(int textRow, const std::string& caption, uint32_t flags);
    // Why the hidden part's label cannot be written ("" when it can).
    std::string hiddenLabelRefusal() const;

    unsigned languageIndex_ = 0;
    int ratioSelEnd_ = 0;
};

// The one settings dialog (null until created).
extern TfrmSetting* frmSetting;

// Shows the one image dialog modally, telling it to put the path of an image it creates
// into the dialog's edtImgFile; nothing when there is no image dialog.
void ShowGlobalImageDialog(TfrmSetting& dialog);

// Selects item `index` of a list control, or nothing when the list has no such item,
// as the class library's list controls do.
void SelectItem(toolkit::TComboBox* combo, long long index);
