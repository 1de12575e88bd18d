#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// Payload fields of ODrive CAN frames: little-endian whatever the host, floats as
// IEEE 754 single precision copied bit for bit.
namespace canbytes {

inline void putU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void putI16(uint8_t* out, int16_t value) {
    const uint16_t bits = static_cast<uint16_t>(value);
    out[0] = static_cast<uint8_t>(bits);
    out[1] = static_cast<uint8_t>(bits >> 8);
}

inline void putF32(uint8_t* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(out, bits);
}

inline uint32_t getU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

inline float getF32(const uint8_t* in) {
    const uint32_t bits = getU32(in);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Scales to 0.001 steps, truncating toward zero. Out-of-range values saturate
// rather than wrap (wrapping would turn a large positive torque negative), and
// NaN goes out as 0.
inline int16_t toMilliUnits(float value) {
    const float scaled = value * 1000.0f;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 32767.0f) return INT16_MAX;
    if (scaled <= -32768.0f) return INT16_MIN;
    return static_cast<int16_t>(static_cast<int32_t>(scaled));
}

}  // namespace canbytes
