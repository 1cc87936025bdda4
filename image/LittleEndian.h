#pragma once
// Little-endian fields of the image file, boot sector, FAT and directory entries.
#include <cstdint>

namespace image {

inline void PutU16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    PutU16(p, v);
    PutU16(p + 2, v >> 16);
}
inline uint32_t GetU16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t GetU32(const uint8_t* p) { return GetU16(p) | GetU16(p + 2) << 16; }

} // namespace image
