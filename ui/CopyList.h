#pragma once
// The copy list of the main window; its files are kept in path-list files
// (platform/PathListFile.h).
#include <cstdint>

namespace ui {
// The system-area size the label shows, in MB: the firmware and prefer sizes (and the ISO
// size when it is upgraded too), each rounded up to 512 KiB, plus 1 MiB, doubled and
// rounded up to 4 MiB. Computed in 64 bits so that a large ISO cannot wrap it.
uint32_t SystemAreaMegabytes(uint64_t firmware, uint64_t prefer, uint64_t iso, bool withIso);
} // namespace ui
