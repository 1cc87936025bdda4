#pragma once
// Integers stored in a fixed byte order: little-endian in the image file, the FAT volume
// and the station's data files; big-endian in command blocks and device replies. Reads
// widen to 32 bits so that shifting and adding them stays unsigned.
#include <cstdint>

namespace platform {

inline void PutLe16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v)
{
    PutLe16(p, v);
    PutLe16(p + 2, v >> 16);
}
inline uint32_t GetLe16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t GetLe32(const uint8_t* p) { return GetLe16(p) | GetLe16(p + 2) << 16; }

inline void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void PutBe32(uint8_t* p, uint32_t v)
{
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v);
}
inline uint32_t GetBe16(const uint8_t* p) { return uint32_t(p[0]) << 8 | uint32_t(p[1]); }
inline uint32_t GetBe32(const uint8_t* p) { return GetBe16(p) << 16 | GetBe16(p + 2); }

} // namespace platform
