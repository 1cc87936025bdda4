// Firmware and loader files: the run's program-file choice and bonding check, the stream
// that carries the file (exactly the file), and the window's copy-list scan, module number
// and loader version. Each input is tried as a file itself and laid over a file long
// enough for every field.
#include "FuzzSupport.h"

#include "device/Stream.h"
#include "production/Firmware.h"
#include "production/ppthread.h"
#include "toolkit/Dialogs.h"
#include "ui/FirmwareInfo.h"
#include "ui/main.h"

#include <memory>

namespace {

// The header, the bonding tag, the module block and the loader version text, over a file
// that reaches the module block or stops 1-3 bytes into it.
std::string LaidOver(std::string_view input)
{
    std::string file(FirmwareHeader::kModuleNumber + 1 - input.size() % 4, '\0');
    const std::pair<size_t, std::string_view> slices[] = {
        {0, input.substr(0, 16)},
        {FirmwareHeader::kBondingTag, input.substr(std::min<size_t>(16, input.size()), 8)},
        {FirmwareHeader::kModuleMark, input.substr(std::min<size_t>(24, input.size()), 3)},
        {ui::kFsmVersionOffset, input.substr(std::min<size_t>(27, input.size()), 4096)}};
    for (const auto& [at, slice] : slices)
        file.replace(at, std::min(slice.size(), file.size() - at), slice.substr(0, file.size() - at));
    return file;
}

void Check(const std::string& bytes, uint8_t flags)
{
    static toolkit::ScriptedDialogs dialogs;
    static std::unique_ptr<TForm1> form = [] {
        toolkit::SetDialogs(&dialogs);
        auto made = std::make_unique<TForm1>();
        made->chkFwUpgrade->SetChecked(true);
        return made;
    }();
    const std::string path = fuzz::Put("program.bin", bytes);
    form->TntSelectFileList2->Items()->Assign({path});
    dialogs.Clear();

    auto device = std::make_shared<fuzz::AcceptingDevice>();
    ProductThread thread('Q', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iFirmwareFlag = flags & 1;
    thread.iModuleNumber = flags >> 1;
    thread.hDevice = platform::OpenTransport(device, 'Q');
    if (FindProgramBin(thread))
        FUZZ_CHECK(thread.sProgramFile == path);
    (void)CheckBondingId(thread);
    FUZZ_CHECK(SendWriteSetup(thread.hDevice, path) && SendProgramFile(thread.hDevice, path));
    FUZZ_CHECK(device->bytesOut == bytes.size());
    platform::CloseDrive(thread.hDevice);

    form->ScanFileList();
    FUZZ_CHECK(form->iFirmwareSize == bytes.size());
    FUZZ_CHECK(form->iSdkType == (bytes.size() > 5 ? uint8_t(bytes[5]) : form->iSdkType.load()));
    FUZZ_CHECK(form->ReadFirmwareMultiplier());
    form->sFsmPath = path;
    uint32_t size = 0;
    const std::string version = form->GetFsmVersion(size);
    FUZZ_CHECK(size == bytes.size());
    FUZZ_CHECK(version == ui::kNoFsmVersion || (version.compare(0, 3, "FSM") == 0 && version.size() <= ui::kFsmVersionLength));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Folder();
    const std::string input(fuzz::Bytes(data, size));
    const uint8_t flags = size ? data[0] : 0;
    Check(input, flags);
    Check(LaidOver(input), flags);
    return 0;
}
