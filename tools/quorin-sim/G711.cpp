#include "G711.h"

namespace corvane::sim {

uint8_t LinearToALaw(int16_t sample) {
    // Negative values use the one's complement, so -1 and 0 share a magnitude
    // and land on the two smallest codes of their signs.
    const int x = sample;
    int magnitude = (x < 0 ? ~x : x) >> 4; // 0..2047
    int code;
    if (magnitude < 16) {
        code = magnitude;
    } else {
        int segment = 1;
        while (magnitude > 31) {
            magnitude >>= 1;
            ++segment;
        }
        code = (segment << 4) | (magnitude - 16);
    }
    if (x >= 0)
        code |= 0x80;
    return static_cast<uint8_t>(code ^ 0x55);
}

uint8_t LinearToULaw(int16_t sample) {
    const int x = sample;
    int biased = ((x < 0 ? ~x : x) >> 2) + 33;
    if (biased > 0x1FFF)
        biased = 0x1FFF;
    int segment = 1;
    for (int i = biased >> 6; i != 0; i >>= 1)
        ++segment; // 1..8
    const int high = 8 - segment;
    const int low = 15 - ((biased >> segment) & 15);
    int code = (high << 4) | low;
    if (x >= 0)
        code |= 0x80;
    return static_cast<uint8_t>(code);
}

} // namespace corvane::sim
