#pragma once
// Byte positions of the firmware ("program") file and the loader that the main window
// reads and writes.
#include <cstdint>

namespace ui {

inline constexpr uint32_t kModuleNumberOffset = 0x97FD; // 'U', 0xAA, module number
inline constexpr uint32_t kFsmVersionOffset = 8192;     // loader version text "FSM..."
inline constexpr uint32_t kFsmVersionLength = 255;
inline constexpr const char* kNoFsmVersion = "FSM Ver.x.x";

} // namespace ui
