// The image file a run writes raw onto the hidden disk: its boot sector names the sector
// size, and whatever its length the disk gets the whole file in 32 KiB chunks and nothing
// more. (The image builder writes such files; no reader of its own exists.)
#include "FuzzSupport.h"

#include "production/DataAreas.h"
#include "production/ppthread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Folder();
    const std::string path = fuzz::Put("hidden.img", fuzz::Bytes(data, size));
    auto device = std::make_shared<fuzz::AcceptingDevice>();
    ProductThread thread('Q', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iSectorSize = size % 2 ? 1024 : 512;
    thread.hDevice = platform::OpenTransport(device, 'Q');
    FUZZ_CHECK(OpenImageFile(thread, path) == int64_t(size));
    if (WriteImageToDisk(thread, "Q", path, 0, 100)) {
        FUZZ_CHECK(size >= 16);
        FUZZ_CHECK(device->bytesOut >= size && device->bytesOut < size + dataareas::kImageChunkSize);
        FUZZ_CHECK(device->bytesOut % dataareas::kImageChunkSize == 0);
    }
    platform::CloseDrive(thread.hDevice);
    return 0;
}
