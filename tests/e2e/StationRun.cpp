#include "StationRun.h"

#include "device/HostUtil.h"
#include "platform/AtomicFile.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "production/WindowLink.h"
#include "sim/StationKit.h"
#include "toolkit/TThread.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace {

ToolRun Tool(std::vector<std::string> argv)
{
    platform::ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = 60000;
    options.environment = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    const std::string found =
        platform::FindProgram(argv[0], std::string(std::getenv("PATH") ? std::getenv("PATH") : "")
                                           + ":/usr/local/sbin:/usr/sbin:/sbin");
    if (found.empty())
        return {false, argv[0] + " not found"};
    argv[0] = found;
    platform::ProcessResult r = platform::RunProcess(argv, options);
    return {r.succeeded(), r.output + r.errorOutput};
}

} // namespace

ToolRun CheckVolumeFile(const std::string& path) { return Tool({"fsck.fat", "-n", path}); }
ToolRun ListVolumeFolder(const std::string& path, const std::string& folder)
{
    return Tool({"mdir", "-b", "-i", path, folder});
}
ToolRun VolumeLabelOf(const std::string& path) { return Tool({"mlabel", "-s", "-i", path, "::"}); }
ToolRun ReadVolumeFile(const std::string& path, const std::string& file)
{
    return Tool({"mtype", "-i", path, "::/" + file});
}

void StationRun::SetUp()
{
    station = std::make_unique<testsupport::SimStation>();
    toolkit::SetDialogs(&dialogs);
    production::SetWindowLink(nullptr);
    savedTools_ = platform::GetVolumeToolConfig();
    RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1); // English
    station->bus().setVolumeCallback([this](bool arrival, uint32_t mask) {
        if (direct_) {
            send(arrival, mask);
            return;
        }
        std::lock_guard lock(eventsMutex_);
        events_.emplace_back(arrival, mask);
    });
    form = std::make_unique<TForm1>();
    form->FormShow(form.get());
    form->chkUsbPort->SetChecked(false);
    form->CheckManuupgrade->SetChecked(false);
    // A plain production: firmware and data, format, copy; no scans.
    form->chkFwUpgrade->SetChecked(true);
    form->chkFormat->SetChecked(true);
    form->chkBlankCheck->SetChecked(false);
    form->chkClearFlash->SetChecked(false);
    form->chkISOupgrade->SetChecked(false);
    form->chkParityCheck->SetChecked(false);
    form->chknor->SetChecked(false);
    form->chkFAT32->SetChecked(false);
    form->LabelEdit->SetText("MY_AUDIO");
    form->eDeviceFeature = 0;
    form->iFlashModuleNo = 0;
    form->iBadThreshold = 10;
    // The kit's flashes keep 1000 of 1024 blocks usable: within 5 % nothing is degraded.
    form->AllowErrorRate = 5;
    form->DealCapError = 0;
    SetCopyList({});
    std::remove(station->file("log/1.txt").c_str());
}

void StationRun::TearDown()
{
    toolkit::TThread::WaitForAll();
    direct_ = false;
    station->bus().setVolumeCallback(nullptr);
    platform::SetVolumeToolConfig(savedTools_);
    form.reset();
    toolkit::SetDialogs(nullptr);
    station.reset();
}

std::shared_ptr<sim::SimulatedDevice> StationRun::Plug(const sim::FlashProfile& profile, uint8_t port)
{
    auto device = station->bus().plug(profile, port);
    Deliver();
    return device;
}

void StationRun::WaitForRuns()
{
    toolkit::TThread::WaitForAll();
    Deliver();
}

void StationRun::Deliver()
{
    station->bus().waitForEvents();
    for (;;) {
        std::pair<bool, uint32_t> event;
        {
            std::lock_guard lock(eventsMutex_);
            if (events_.empty())
                return;
            event = events_.front();
            events_.pop_front();
        }
        send(event.first, event.second);
    }
}

void StationRun::send(bool arrival, uint32_t mask)
{
    form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                    DBT_DEVTYP_VOLUME, mask});
}

void StationRun::SetCopyList(const std::vector<std::string>& extra)
{
    std::vector<std::string> items = {station->file(sim::kKitFirmware), station->file(sim::kKitPrefer)};
    for (const std::string& item : extra)
        items.push_back(item.empty() || item[0] == '/' ? item : station->file(item));
    form->TntSelectFileList2->Items()->Assign(items);
    form->ScanFileList();
}

std::string StationRun::MakeFile(const std::string& relative, const std::string& content)
{
    const std::string path = station->file(relative);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::vector<std::string> StationRun::Log() const
{
    std::ifstream in(station->file("log/1.txt"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t pos; (pos = all.find("\r\n", start)) != std::string::npos; start = pos + 2)
        lines.push_back(all.substr(start, pos - start));
    return lines;
}

bool StationRun::LogHas(const std::string& line) const
{
    for (const std::string& l : Log())
        if (l == line)
            return true;
    return false;
}

void StationRun::BreakFormatTool()
{
    const std::string bin = station->file("brokenbin");
    std::filesystem::create_directories(bin);
    const std::string tool = bin + "/mkfs.fat";
    std::ofstream(tool) << "#!/bin/sh\necho x >> '" << bin << "/calls'\necho 'mkfs.fat: refusing' >&2\nexit 1\n";
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    platform::VolumeToolConfig config = savedTools_;
    const char* path = std::getenv("PATH");
    config.searchPath = bin + ":" + (path ? path : "/usr/bin:/bin") + ":/usr/local/sbin:/usr/sbin:/sbin";
    platform::SetVolumeToolConfig(config);
}

void StationRun::RecordPanel()
{
    form->ProgressBar1->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
        if (what != toolkit::Prop::Progress)
            return;
        std::lock_guard lock(panelMutex_);
        steps_.push_back(static_cast<toolkit::TGauge&>(control).Progress());
    });
    form->D1infoStr->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
        if (what != toolkit::Prop::Caption)
            return;
        std::lock_guard lock(panelMutex_);
        captions_.push_back(control.Caption());
    });
}

int StationRun::FormatToolCalls() const
{
    std::ifstream in(station->file("brokenbin/calls"));
    int lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

std::vector<int> StationRun::Steps()
{
    std::lock_guard lock(panelMutex_);
    return steps_;
}

std::vector<std::string> StationRun::Captions()
{
    std::lock_guard lock(panelMutex_);
    return captions_;
}

} // namespace e2e
