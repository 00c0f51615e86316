#include "perm64.h"

// Nothing here logs or asserts; the name is kept so every module states its log prefix.
[[maybe_unused]] static constexpr char THIS_FILE[] = "src/perm64";

// The 64-bit FNV offset basis and prime: an odd multiplier and an addition are both invertible
// modulo 2^64, and so is every right xor-shift, which makes the whole mixer a permutation.
static constexpr uint64_t OFFSET = 0xcbf29ce484222325ULL;
static constexpr uint64_t PRIME = 0x100000001b3ULL;
static constexpr uint64_t PRIME_INVERSE = 0xce965057aff6957bULL;
static constexpr uint64_t MINUS_OFFSET = 0x340d631b7bdddcdbULL;

static_assert(PRIME * PRIME_INVERSE == 1, "the multiplier must undo the FNV prime");
static_assert(OFFSET + MINUS_OFFSET == 0, "the addend must undo the offset basis");

uint64_t perm64(uint64_t x)
{
    x += OFFSET;
    x *= PRIME;
    x ^= x >> 24;
    x *= PRIME;
    x ^= x >> 14;
    x *= PRIME;
    x ^= x >> 28;
    return x;
}

// An xor-shift by s is undone by xoring in the shifts by s, 2s, 3s, ... below 64 bits.
uint64_t merp64(uint64_t y)
{
    y ^= (y >> 28) ^ (y >> 56);
    y *= PRIME_INVERSE;
    y ^= (y >> 14) ^ (y >> 28) ^ (y >> 42) ^ (y >> 56);
    y *= PRIME_INVERSE;
    y ^= (y >> 24) ^ (y >> 48);
    return y * PRIME_INVERSE + MINUS_OFFSET;
}
