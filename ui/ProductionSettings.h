#pragma once
// The options with which every production thread prepares a device. They live in the
// main window (TForm1 derives from ProductionSettings); the window's own option check
// boxes, SystemAreaComBo and LabelEdit are settings too and are stored beside them in
// misc/prefer.ini, section MP_Setting (TForm1::LoadSettings / SaveSettings); their keys,
// defaults and bounds are declared once in production/StoredSettings.h.
//
// Production threads read these fields while they run. They change only on the
// user-interface thread: when the settings are loaded, when the settings dialog applies,
// and at the first paint, none of which happens while production threads run (the
// settings group is disabled then). Until the window loads its settings the stored ones
// hold zero; their defaults are the table's, not these.
#include "production/StoredSettings.h"
#include "toolkit/Controls.h"

#include <cstdint>
#include <string>

struct ProductionSettings {
    int32_t iFlashModuleNo = 0;   // index 0..5 into 1, 2, 4, 8, 16, 32 modules; -1 none
    int32_t iScanLevel = 0;       // blanking-check level 0..6; 5 is the custom pattern
    int32_t Pattern = 0;          // 16-bit test pattern of the custom level
    int32_t iPageSkip = 0;        // 0..64
    int32_t iEccLevel = 0;        // 0 "Default" (threshold 2), n = 1..7 gives n - 1
    int32_t iBadThreshold = 0;    // bad-block rate limit in percent
    bool PageMode{};              // special (per-page) scan
    int32_t PageModeSel = 0;      // page mode 0..7, 7 = automatic detection
    uint8_t eDeviceFeature = 0;   // 0 normal, 1 encrypted, 2 hidden disk
    int32_t iHideDiskRatio = 0;   // percent of the disk for the encrypted/hidden part
    toolkit::TStringList HideFileList;  // files for the hidden disk (misc/hideseting.ini)
    toolkit::TStringList SpiFileList;   // files for the SPI hidden area (misc/spiseting.ini)
    std::string sHideDiskLabel;   // at most 8 characters, upper case
    int32_t AllowErrorRate = 0;   // allowed capacity shortfall in percent, 1..20
    int32_t iReadTimes = 0;       // 0 "Default", then "0", "1", "2"
    uint8_t DealCapError = 0;     // 0 degrade, 1 show the error, 2 do not care
    bool bUseImgFile{};           // hidden part filled from ImageFile instead of the list
    std::string ImageFile;
    bool SaveSpiImage{};          // save the SPI flash content to NorImage.bin
    bool bNonFileSystem{};        // hidden part gets the signed file area (never offered)
    bool bFastBlankCheck = false; // page-scan only the leading blocks (not stored)
};

// Number of SystemAreaComBo items: "4MB" .. "128MB".
inline constexpr int kSystemAreaSizes = 32;

// The disk-mode text of labDiskFeature for a mode and ratio in a language: "Normal",
// "Encrypted disk10%", "Hidden disk35%"; false (text untouched) for any other mode.
bool DiskFeatureText(uint8_t mode, int32_t ratio, unsigned languageIndex, std::string& text);

// TForm1::LoadSettings and TForm1::SaveSettings are defined in ProductionSettings.cpp.
// SaveSettings throws platform::IniFileError("Unable to write to <path>") when the file
// cannot be written; the previous file then stays whole.
