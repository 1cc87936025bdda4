#pragma once
// Device arrival and removal are TForm1 handlers (OnDeviceChange, UpgradebtnClick); these
// are the texts they compose.
#include <cstdint>
#include <string>

namespace ui {

// The port identity of a fixed USB-port panel: " Port:" + hundreds-tens-units in decimal.
std::string PortIdentity(int hundreds, int tens, int units);

// "ID:" + the five flash ID bytes (stored reversed in the 8-byte buffer) as ten upper-case
// hex digits in the order the device sent them.
std::string FormatFlashId(const uint8_t id[8]);

} // namespace ui
