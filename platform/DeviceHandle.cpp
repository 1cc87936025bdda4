// Opening and closing drives by letter.
#include "platform/DeviceHandle.h"

#include "platform/DriveMap.h"

namespace platform {

HANDLE OpenDrive(char letter)
{
    auto binding = DriveMap::global().find(letter);
    if (!binding || !binding->open)
        return INVALID_HANDLE_VALUE;
    auto transport = binding->open();
    if (!transport)
        return INVALID_HANDLE_VALUE;
    return new DeviceHandle{letter, std::move(transport)};
}

HANDLE OpenTransport(std::shared_ptr<ScsiTransport> transport, char letter)
{
    if (!transport)
        return INVALID_HANDLE_VALUE;
    return new DeviceHandle{letter, std::move(transport)};
}

void CloseDrive(HANDLE handle)
{
    delete handle;
}

} // namespace platform
