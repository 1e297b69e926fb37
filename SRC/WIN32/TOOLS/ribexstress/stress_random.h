// A small seeded generator, so that a run can be repeated with -S.
#pragma once

#include <stdint.h>

struct StressRandom {
    uint64_t state;
};

inline void SeedRandom(StressRandom *pRandom, uint32_t seed) {
    pRandom->state = 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 1 | 1);
}

// xorshift64*
inline uint32_t NextRandom(StressRandom *pRandom) {
    uint64_t x = pRandom->state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    pRandom->state = x;
    return (uint32_t)((x * 0x2545F4914F6CDD1Dull) >> 32);
}

// 0 .. bound - 1 (bound > 0).
inline uint32_t RandomBelow(StressRandom *pRandom, uint32_t bound) {
    return (uint32_t)(((uint64_t)NextRandom(pRandom) * bound) >> 32);
}

// lowest .. highest, both included.
inline uint32_t RandomBetween(StressRandom *pRandom, uint32_t lowest, uint32_t highest) {
    return lowest + RandomBelow(pRandom, highest - lowest + 1);
}
