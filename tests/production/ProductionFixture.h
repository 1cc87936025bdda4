#pragma once
// Shared pieces of the production tests: a main window whose settings the test sets, a
// thread with its panel controls on a recording drive, a thread on a simulated device,
// and flash records.
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "platform/ProgramDir.h"
#include "sim/SimBus.h"
#include "support/RecordingTransport.h"
#include "support/SimStation.h"
#include "support/TempDir.h"
#include "toolkit/Controls.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace prodtest {

using testsupport::RecordedCall;
using testsupport::ScriptedAnswer;

inline uint32_t Be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// A fresh station's settings, but for the few a test sets; warnings show no box.
class FakeWindow : public production::FreshStation {
public:
    uint8_t dealCapError = 0;
    uint32_t minValidSize = 0;
    bool pageScan = false;
    std::vector<std::string> copyList;
    char panelDrive = 0;
    uint64_t panelDevice = 0;

    bool PageScan() override { return pageScan; }
    uint8_t DealCapError() override { return dealCapError; }
    uint32_t MinValidSize() override { return minValidSize; }
    std::vector<std::string> CopyList() override { return copyList; }
    char PanelDrive(int) override { return panelDrive; }
    uint64_t PanelDevice(int) override { return panelDevice; }
    void ShowWarning(const std::string&, const std::string&) override {}
};

// What a flash description file holds.
struct RecordFields {
    uint8_t flashId[5] = {0xEC, 0xD3, 0x51, 0x95, 0x58};
    uint8_t sectorLog2 = 9, pageLog2 = 11, pagesLog2 = 6, blocksLog2 = 10;
    uint8_t writeParameter = 0x21, bitmapPages = 1;
    uint16_t usableBlocks = 1000;
    uint8_t firmwareFlag = 1;
};
std::string MakeRecord(const RecordFields& fields);

struct PanelControls {
    toolkit::TStaticText status{nullptr, "D1infoStr"};
    toolkit::TStaticText textF{nullptr, "TextF1"};
    toolkit::TStaticText textP{nullptr, "TextP1"};
    toolkit::TGauge gauge{nullptr, "ProgressBar1"};
    toolkit::TImage image{nullptr, "infoImage1"};
};

// A thread in a program folder of its own on a recording drive that answers `answer`
// (by default every command succeeds with the byte 01).
class ThreadTest : public ::testing::Test, protected PanelControls {
protected:
    void SetUp() override;
    void TearDown() override;
    void SetGeometry(uint32_t chips, uint32_t blocksPerChip, uint32_t usable,
                     uint32_t pagesPerBlock = 64, uint32_t pageSize = 2048);
    void MarkAllGood();
    // The recorded calls whose first two CDB bytes are these (byte1 0: any).
    std::vector<RecordedCall> CallsOf(uint8_t byte0, uint8_t byte1 = 0) const;

    testsupport::TempDir dir;
    FakeWindow window;
    testsupport::RecordingDrive drive{'R'};
    std::function<ScriptedAnswer(const RecordedCall&)> answer;
    std::unique_ptr<ProductThread> thread;
};

// A thread on a simulated device whose loader runs (kit in the station's folder).
class SimThreadTest : public ::testing::Test, protected PanelControls {
protected:
    void SetUp() override;
    void TearDown() override;
    // Plugs a device; withGeometry copies the profile's geometry into the thread.
    ProductThread& Plug(const sim::FlashProfile& profile, bool withGeometry = false);
    ProductThread& NewThread();

    testsupport::SimStation station;
    FakeWindow window;
    std::shared_ptr<sim::SimulatedDevice> device;
    char letter = 0;
    std::vector<std::unique_ptr<ProductThread>> threads;
    ProductThread* thread = nullptr;
};

} // namespace prodtest
