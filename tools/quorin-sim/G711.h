#pragma once

// ITU-T G.711 compression of 16-bit linear samples to A-law and mu-law bytes.

#include <cstdint>

namespace corvane::sim {

// A-law: the 16-bit sample's top 13 bits, segment and mantissa, even bits
// inverted (XOR 0x55); 0 -> 0xD5, 32767 -> 0xAA, -32768 -> 0x2A.
uint8_t LinearToALaw(int16_t sample);

// mu-law: the top 14 bits with the bias of 33, all bits inverted;
// 0 -> 0xFF, 32767 -> 0x80, -32768 -> 0x00.
uint8_t LinearToULaw(int16_t sample);

} // namespace corvane::sim
