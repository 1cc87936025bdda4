#pragma once
// The image dialog: the operator lists host files and folders, picks a volume size and a
// label, and creates a disk image file holding the same FAT volume with 512-byte and with
// 1024-byte sectors (image/ImageBuilder.h does the building). On success the image's path
// goes into the settings dialog's image-file edit.
//
// The list is kept between runs in "misc\isoseting.ini" (a path-list file) and the label
// and size in "misc\ImgTool.ini", both in the program folder. The form is created once at
// start-up (FormCreate loads both files) and shown modally from the settings dialog
// (ShowModal; FormShow takes the main window's language, FormClose saves both files).
//
// Everything runs on the user-interface thread. While an image is built the inputs are
// disabled and the build lets pending window messages through, so the window repaints
// and the busy bar moves.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/Controls.h"
#include "toolkit/Dialogs.h"

class TfrmIsoMain : public toolkit::TForm {
public:
    // The form's timer. The build holds the user-interface thread, so the form runs the
    // timer itself from the message pump it calls while building (see PumpMessages).
    class TTimer : public toolkit::TControl {
    public:
        TTimer(toolkit::TWinControl* parent, std::string name);
        const char* ClassName() const override { return "TTimer"; }
        uint32_t Interval() const;
        void SetInterval(uint32_t ms);
        toolkit::TNotifyEvent OnTimer;
        // Runs OnTimer when enabled and at least Interval ms have passed since it was
        // enabled or last ran (one run per call, as timer messages do not pile up).
        void Poll();
        void SetEnabled(bool value);  // enabling starts the interval afresh

    private:
        uint32_t interval_ = 1000;
        uint64_t last_ = 0;
    };

    // A save or open dialog: its settings and the file name(s) it last returned.
    struct TFileDialog {
        toolkit::FileDialogOptions Options;
        std::string FileName;               // the chosen file (save) or the first one (open)
        std::vector<std::string> Files;     // every chosen file (open)
    };

    // Builds the controls, then runs FormCreate; becomes the global frmIsoMain.
    explicit TfrmIsoMain(toolkit::TWinControl* owner = nullptr);
    ~TfrmIsoMain() override;

    // ---- controls (owned by the form) ----
    toolkit::TLabel* lblDiskLabel;
    toolkit::TEdit* edtDiskLabel;           // upper case, at most 8 characters
    toolkit::TLabel* lblDiskSize;
    toolkit::TTrackBar* tbarHideDiskRatio;  // 4 .. 256, the size in steps of 32 MB
    toolkit::TEdit* edtDiskSize;            // read-only, the size in MB
    toolkit::TLabel* Label1;
    toolkit::TGroupBox* grpHiddenFiles;
    toolkit::TListBox* TntlstHideFiles;     // host files and folders to put into the image
    toolkit::TButton* btnAddFile;
    toolkit::TButton* btnAddDir;
    toolkit::TButton* btnRemove;
    toolkit::TButton* btnCreateImg;
    toolkit::TGauge* ProgressBar1;          // 0 .. 100, shown while busy
    TTimer* Timer1;                         // moves ProgressBar1 while busy
    TFileDialog fsDlg;                      // image file name ("Image File *.IMG|*.IMG")
    TFileDialog TntfoDlg;                   // files to add, several at once

    // ---- fields ----
    unsigned LanguageIndex = 0;  // copy of the main window's, taken at every show

    // The settings dialog's image-file edit; a created image's path is written into it
    // (null: nowhere). The settings dialog sets it before ShowModal.
    toolkit::TEdit* SettingImgFileEdit = nullptr;
    // The path of the last image this dialog created ("" when none).
    const std::string& CreatedImagePath() const { return createdImagePath_; }
    // Why the last build failed, also shown under the failure text ("" after a success).
    const std::string& LastBuildError() const { return lastBuildError_; }

    // ---- event handlers ----
    void FormCreate(toolkit::TControl* Sender);
    void FormShow(toolkit::TControl* Sender);
    void FormClose(toolkit::TControl* Sender);
    void btnAddFileClick(toolkit::TControl* Sender);
    void btnAddDirClick(toolkit::TControl* Sender);
    void btnRemoveClick(toolkit::TControl* Sender);
    void tbarHideDiskRatioChange(toolkit::TControl* Sender);
    void btnCreateImgClick(toolkit::TControl* Sender);
    void Timer1Timer(toolkit::TControl* Sender);

    // ---- methods ----
    void SetCaptions();
    // True: idle (inputs enabled, bar hidden, timer stopped); false: busy.
    void SetBusy(bool enabled);
    // Builds both volumes into fsDlg's file; shows the failure box itself. True on success.
    bool CreateImage();
    // Lets the user-interface thread handle what is waiting, then runs the timer when due.
    void PumpMessages();

    // The two files, in the program folder.
    static std::string ListFilePath();     // misc/isoseting.ini
    static std::string OptionsFilePath();  // misc/ImgTool.ini

private:
    void buildControls();
    bool runSaveDialog();

    bool building_ = false;
    std::string createdImagePath_;
    std::string lastBuildError_;
};

// The one image dialog (null until created).
extern TfrmIsoMain* frmIsoMain;
