#pragma once
// An open drive, in place of a handle from CreateFileA on "\\.\X:". Command functions
// take a HANDLE; INVALID_HANDLE_VALUE is what a failed open gives.
#include "platform/ScsiTransport.h"

#include <memory>

namespace platform {

struct DeviceHandle {
    char letter = 0;
    std::shared_ptr<ScsiTransport> transport;
};

} // namespace platform

using HANDLE = platform::DeviceHandle*;
inline const HANDLE INVALID_HANDLE_VALUE = nullptr;

namespace platform {

// Opens the device bound to a drive letter in the drive map.
HANDLE OpenDrive(char letter);
// Closes a handle from OpenDrive (INVALID_HANDLE_VALUE is ignored).
void CloseDrive(HANDLE handle);
// A handle over a transport that the caller already has (tests, the simulator).
HANDLE OpenTransport(std::shared_ptr<ScsiTransport> transport, char letter = 0);

} // namespace platform
