// A bijective 64-bit mixer and its inverse.
#pragma once

#include <cstdint>

uint64_t perm64(uint64_t x);
uint64_t merp64(uint64_t y);
