#pragma once
// The main window: eight device panels, the production options, the copy list, the totals
// and the language choice. It is the hub of the program: production threads read the
// settings and the copy-list figures from it and write its counters and panel controls;
// the settings dialog copies settings into and out of it; device arrival fills its panels.
//
// The form is a model (toolkit controls); view/ shows it with Qt. Every handler runs on
// the user-interface thread. Fields that production threads write or read while the
// window changes them are atomic.
#include "toolkit/Controls.h"
#include "ui/ProductionSettings.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace platform {
class SingleInstance;
}

// One device panel. The controls belong to the form; the record only points at them.
struct DeviceSlot {
    std::atomic<char> drive{0};                  // letter shown in the panel; 0 = free
    std::atomic<uint64_t> serial{0};             // the letter's drive binding the panel holds
    std::atomic<bool> running{false};            // its production thread has not ended yet
    toolkit::TStaticText* status = nullptr;      // D1infoStr .. D8infoStr
    toolkit::TImage* image = nullptr;            // infoImage1 .. infoImage8
    toolkit::TGauge* gauge = nullptr;            // ProgressBar1 .. ProgressBar8
    toolkit::TStaticText* textP = nullptr;       // TextP1 .. TextP8
    toolkit::TStaticText* textF = nullptr;       // TextF1 .. TextF8
};

inline constexpr int kDeviceSlots = 8;

// A panel's status text before any language is applied.
inline constexpr const char* kDesignWaitText = "Wait...";

// Volume notifications, with the Windows values the handler was written for.
inline constexpr uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr uint32_t DBT_DEVTYP_VOLUME = 0x0002;

// A window message as the dispatch sees it: for WM_DEVICECHANGE, wParam is the event and
// the volume's device type and unit mask stand for the DEV_BROADCAST_VOLUME.
struct TMessage {
    uint32_t Msg = 0;
    uint32_t WParam = 0;
    uint32_t DeviceType = 0;
    uint32_t UnitMask = 0;
};

class TForm1 : public toolkit::TForm, public ProductionSettings {
public:
    // Builds the controls, then runs FormCreate.
    explicit TForm1(toolkit::TWinControl* owner = nullptr);
    ~TForm1() override;

    // ---- controls (owned by the form) ----
    toolkit::TPageControl* PageControl1;
    toolkit::TTabSheet* TabSheet4;                 // "Mass Production"

    toolkit::TGroupBox* grpMPSetting;
    toolkit::TCheckBox* chkFormat;                 // "Format"
    toolkit::TCheckBox* chkBlankCheck;             // "Blanking check"
    toolkit::TCheckBox* chkISOupgrade;             // "ISO upgrade"
    toolkit::TCheckBox* chkFwUpgrade;              // "FW Upgrade"
    toolkit::TCheckBox* chkParityCheck;            // captioned by the language texts
    toolkit::TCheckBox* chknor;                    // "Nor read check"
    toolkit::TCheckBox* chkClearFlash;             // "Clear Flash"
    toolkit::TCheckBox* chkFAT32;                  // "FAT32"
    toolkit::TCheckBox* SystemAreachk;             // "Systemareasize"
    toolkit::TComboBox* SystemAreaComBo;           // "4MB" .. "128MB"
    toolkit::TCheckBox* CheckManuupgrade;          // "Manuupgrade"
    toolkit::TButton* Upgradebtn;                  // "Manul Upgrade"
    toolkit::TCheckBox* chkUsbPort;                // "Fix USB IO"
    toolkit::TStaticText* LabelStatic;             // "Label:"
    toolkit::TEdit* LabelEdit;                     // "my_audio"
    toolkit::TButton* btnSetup;                    // "Setup ..."
    toolkit::TLabel* labType;                      // disk-mode caption
    toolkit::TLabel* labDiskFeature;               // disk mode

    toolkit::TGroupBox* grpFileList;
    toolkit::TListBox* TntSelectFileList2;         // the copy list (several selected at once)
    toolkit::TButton* AddFilesBtn;                 // "Add files..."
    toolkit::TButton* RemoveBtn;                   // "Remove"
    toolkit::TButton* btnAddDir;                   // "Add Dir"
    toolkit::TStaticText* labSystemArea;           // "System Area Size:"

    toolkit::TGroupBox* grpProcessStatus;          // "Process Status"
    toolkit::TGroupBox* grpDevice[kDeviceSlots];   // the panels' frames (grpDevice1 ..)
    toolkit::TStaticText* StaticText1;             // "Dev 1:"
    toolkit::TStaticText* StaticText3;             // "Dev 2:"
    toolkit::TStaticText* StaticText4;
    toolkit::TStaticText* StaticText5;
    toolkit::TStaticText* StaticText6;
    toolkit::TStaticText* StaticText7;
    toolkit::TStaticText* StaticText8;
    toolkit::TStaticText* StaticText9;             // "Dev 8:"
    toolkit::TStaticText* D1infoStr;               // "Wait..."
    toolkit::TStaticText* D2infoStr;
    toolkit::TStaticText* D3infoStr;
    toolkit::TStaticText* D4infoStr;
    toolkit::TStaticText* D5infoStr;
    toolkit::TStaticText* D6infoStr;
    toolkit::TStaticText* D7infoStr;
    toolkit::TStaticText* D8infoStr;
    toolkit::TGauge* ProgressBar1;                 // teal, hidden
    toolkit::TGauge* ProgressBar2;
    toolkit::TGauge* ProgressBar3;
    toolkit::TGauge* ProgressBar4;
    toolkit::TGauge* ProgressBar5;
    toolkit::TGauge* ProgressBar6;
    toolkit::TGauge* ProgressBar7;
    toolkit::TGauge* ProgressBar8;
    toolkit::TImage* infoImage1;
    toolkit::TImage* infoImage2;
    toolkit::TImage* infoImage3;
    toolkit::TImage* infoImage4;
    toolkit::TImage* infoImage5;
    toolkit::TImage* infoImage6;
    toolkit::TImage* infoImage7;
    toolkit::TImage* infoImage8;
    toolkit::TStaticText* TextP1;
    toolkit::TStaticText* TextP2;
    toolkit::TStaticText* TextP3;
    toolkit::TStaticText* TextP4;
    toolkit::TStaticText* TextP5;
    toolkit::TStaticText* TextP6;
    toolkit::TStaticText* TextP7;
    toolkit::TStaticText* TextP8;
    toolkit::TStaticText* TextF1;
    toolkit::TStaticText* TextF2;
    toolkit::TStaticText* TextF3;
    toolkit::TStaticText* TextF4;
    toolkit::TStaticText* TextF5;
    toolkit::TStaticText* TextF6;
    toolkit::TStaticText* TextF7;
    toolkit::TStaticText* TextF8;

    toolkit::TGroupBox* GroupBox16;                // "Log"
    toolkit::TStaticText* StaticText10;            // "Total:"
    toolkit::TStaticText* StaticText11;            // "successful:"
    toolkit::TStaticText* StaticText12;            // "fail:"
    toolkit::TStaticText* TotalStr;                // "0", black
    toolkit::TStaticText* SuccessStr;              // "0", blue
    toolkit::TStaticText* FailStr;                 // "0", red

    toolkit::TGroupBox* TntGroupBox1;              // "Language"
    toolkit::TRadioButton* TntRdoLangAuto;         // "Auto"
    toolkit::TRadioButton* TntRdoLangSC;           // Simplified Chinese
    toolkit::TRadioButton* TntRdoLangTC;           // Traditional Chinese
    toolkit::TRadioButton* TntRdoLangEng;          // "English"

    toolkit::TLabel* lblpass;                      // hidden; written by production threads
    toolkit::TLabel* lblEcptPw;
    toolkit::TLabel* lblsiosize;
    toolkit::TLabel* lblCuAl;

    // ---- fields ----
    DeviceSlot DeviceSlots[kDeviceSlots];          // slot i is panel i + 1
    std::atomic<int32_t> iTotalCount{0};
    std::atomic<int32_t> iFailCount{0};
    std::atomic<int32_t> iSuccessCount{0};
    std::unique_ptr<platform::SingleInstance> hInstanceMutex;
    std::atomic<int32_t> iRunningThreads{0};
    std::atomic<int32_t> iDeviceCount{0};
    // Arrivals that ended without a production run (no INQUIRY answer, no free panel, the
    // loader refused): such a device never gets a result, which an unattended run needs
    // to know to end.
    std::atomic<int32_t> iFailedArrivals{0};
    // (the ProductionSettings block is the base class)
    std::string PortSlotId[kDeviceSlots];
    std::string sArrivingPortId;
    int32_t PortSlotTaken[kDeviceSlots] = {};
    std::atomic<uint32_t> LanguageIndex{0};
    std::atomic<uint32_t> iFsmSize{0};
    std::string sFsmPath;
    std::atomic<uint32_t> iMinValidSize{0};
    std::atomic<int32_t> iProgramIndex{-1};
    std::atomic<int32_t> iPreferIndex{-1};
    std::atomic<int32_t> iIsoIndex{-1};
    // Byte sizes are 64-bit: an ISO image may pass 4 GiB.
    std::atomic<uint64_t> iFirmwareSize{0};
    std::atomic<uint64_t> iPreferSize{0};
    std::atomic<uint64_t> iIsoSize{0};
    std::atomic<int32_t> iTelbookIndex{-1};
    std::atomic<uint64_t> iTelbookSize{0};
    std::atomic<uint32_t> iSdkType{0};
    char PortSlotDrive[kDeviceSlots] = {};

    // Production threads hold this while they update the totals and their captions, and
    // while they count iRunningThreads and switch the two group boxes, so that no update
    // is lost and the captions always show the latest values.
    std::mutex CountersLock;

    // ---- life (main.cpp) ----
    void FormCreate(toolkit::TControl* Sender);
    void FormShow(toolkit::TControl* Sender);
    void FormPaint();
    void FormClose(toolkit::TControl* Sender);
    int btnSetupClick(toolkit::TControl* Sender);
    // Routes WM_DEVICECHANGE to OnDeviceChange, one message after the other; other
    // messages are not handled here. User-interface thread only (checked: a call from
    // another thread stops the program).
    void Dispatch(const TMessage& message);
    // True when another instance runs; it has been asked to raise its window.
    bool CheckPreviousInstance(toolkit::TForm* form);
    // Set when FormCreate found another instance: the program ends without saving.
    bool TerminateRequested() const { return terminateRequested_; }

    // ---- language (the pieces are in ui/Language) ----
    void ApplyLanguage();
    void TntRdoLangAutoClick(toolkit::TControl* Sender);

    // ---- production settings file ----
    void LoadSettings(const std::string& path);
    void SaveSettings(const std::string& path);

    // ---- panels ----
    int IsDriveInSlot(char letter) const;
    void ReleaseDriveSlot(char letter);
    int FirstFreeSlot() const;
    int SlotOfDrive(char letter) const;

    // ---- device arrival and removal (DeviceArrival.cpp) ----
    void OnDeviceChange(const TMessage& message);
    void CheckManuupgradeClick(toolkit::TControl* Sender);
    void UpgradebtnClick(toolkit::TControl* Sender);

    // ---- copy list and firmware file (CopyList.cpp, FirmwareInfo.cpp) ----
    void ScanFileList();
    void AddFilesBtnClick(toolkit::TControl* Sender);
    void RemoveBtnClick(toolkit::TControl* Sender);
    void btnAddDirClick(toolkit::TControl* Sender);
    void SystemAreachkClick(toolkit::TControl* Sender);
    void SystemAreaComBoChange(toolkit::TControl* Sender);
    void chkISOupgradeClick(toolkit::TControl* Sender);
    std::string GetFsmVersion(uint32_t& size);
    bool ReadFirmwareMultiplier();
    bool WriteFirmwareMultiplier(int value);
    bool ResetFirmwareMultiplier(int value);
    void chkUsbPortMouseUp(toolkit::TControl* Sender);
    void chkClearFASHMouseUp(toolkit::TControl* Sender);
    void chkBlankCheckMouseUp(toolkit::TControl* Sender);

    // ---- closing while devices run (Closing.cpp) ----
    bool DevicesRunning() const;
    // Asks, in the station's language, whether to close once the running devices have
    // ended; on yes no new device is taken from then on.
    bool AskToCloseWhileRunning();
    // One "X interrupted" event-log line per device whose run has not ended.
    void LogInterrupted();
    std::atomic<bool> ClosingAfterRuns{false};
    // Runs on the user-interface thread when the last running device has ended.
    std::function<void()> OnRunsEnded;

    // ---- seams ----
    // Starts the production thread of a panel; the default builds a ProductThread with
    // the panel's controls and the LabelEdit text and resumes it. Tests record instead.
    std::function<void(char drive, int slot)> StartThread;
    // The settings dialog shown by the setup button and the first paint (null: none).
    toolkit::TForm* SettingForm = nullptr;
    // Runs on the UI thread when a second start asked this window to come to the front.
    std::function<void()> OnRaiseRequest;

private:
    void buildControls();
    void buildOptionGroup(toolkit::TWinControl* page);
    void buildFileListGroup(toolkit::TWinControl* page);
    void buildDevicePanels(toolkit::TWinControl* page);
    void buildTotalsAndLanguages(toolkit::TWinControl* page);
    void bindEvents();
    void bindPanels();
    // Loads a list, dropping entries that are gone; "" or what the operator is told of them.
    std::string loadPathList(const std::string& relative, toolkit::TStrings& list);
    // Lists that existed but could not be read at start; the close leaves them as they are.
    std::set<std::string> unreadLists_;
    // What the station lacks or cannot write ("" when nothing); creates misc/ when missing.
    std::string checkStation();
    void startThread(char drive, int slot);
    void runEnded(int slot);
    // True when the removal of `letter` is for the device the panel holds (it no longer
    // holds the letter); false for a removal that concerned an earlier device.
    bool removalIsCurrent(char letter) const;
    void arrive(char letter);
    // The arrival's parts: false when the device is already served, was reset or does not
    // answer; the loader's refusal shown; the panel of the device's USB port (p when the
    // port is unknown or its panel busy); the port's panel claimed.
    bool takeArrival(char letter, uint64_t serial);
    void loaderRefused(char letter, uint64_t serial, int slot);
    int portPanel(char letter, int slot);
    void claimPortPanel(char letter, uint64_t serial, int slot);
    void remove(char letter);
    void setPanelIdle(int slot);
    // Claims the panel for a device refused for lack of access and shows why; false when
    // access was not the problem.
    bool showRefusedAccess(char letter, uint64_t serial, int slot);
    bool writeModuleNumber(int value);

    bool terminateRequested_ = false;
    bool painted_ = false;
    std::deque<TMessage> pendingDeviceMessages_;
    bool dispatchingDevices_ = false;
};

// The one main window (null until created).
extern TForm1* Form1;
