#pragma once

// G.711 expansion: A-law and µ-law bytes to signed 16-bit PCM, by the ITU-T
// G.711 decoding tables scaled to 16 bits (A-law values times 8, µ-law values
// times 4), with no other processing.

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane {

// One code by the G.711 decoding rules. A-law: the even bits are inverted on
// the line; bit 7 set is positive; segment s (bits 6..4) and step q (bits
// 3..0) give 2q+1 in segment 0 and (2q+33) << (s-1) above, at most 4032.
constexpr int16_t ALawToLinear(uint8_t code) {
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 0x07;
    const int step = a & 0x0F;
    const int magnitude = segment == 0 ? 2 * step + 1 : (2 * step + 33) << (segment - 1);
    return static_cast<int16_t>((a & 0x80) ? magnitude * 8 : -magnitude * 8);
}

// µ-law: all bits but the sign are inverted on the line; bit 7 set is
// positive; ((2q+33) << s) - 33, at most 8031.
constexpr int16_t ULawToLinear(uint8_t code) {
    const int u = ~code & 0x7F;
    const int segment = u >> 4;
    const int step = u & 0x0F;
    const int magnitude = ((2 * step + 33) << segment) - 33;
    return static_cast<int16_t>((code & 0x80) ? magnitude * 4 : -magnitude * 4);
}

namespace detail {
template <int16_t (*Decode)(uint8_t)> constexpr std::array<int16_t, 256> MakeTable() {
    std::array<int16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[static_cast<size_t>(i)] = Decode(static_cast<uint8_t>(i));
    return table;
}
} // namespace detail

// The 256 expansions of each law, indexed by the code byte.
inline constexpr std::array<int16_t, 256> ALawTable = detail::MakeTable<ALawToLinear>();
inline constexpr std::array<int16_t, 256> ULawTable = detail::MakeTable<ULawToLinear>();

// Expands `n` codes from `in` into `n` samples at `out` (the ranges must not overlap).
void ExpandALaw(const uint8_t* in, int16_t* out, size_t n);
void ExpandULaw(const uint8_t* in, int16_t* out, size_t n);

} // namespace corvane
