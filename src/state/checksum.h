// A fast 64-bit hash of a byte string: snapshot checksums and cartridge identities.
#pragma once

#include <cstddef>
#include <cstdint>

// Not cryptographic: it catches damage and mix-ups, not forgery.
uint64_t hash64(const uint8_t* data, size_t size, uint64_t seed = 0);
// The checksum of snapshots: eight lanes of 8-byte words, one multiply
// each, so the multiplier is busy every cycle; a change to any one word
// always changes the result (every step is a bijection of the lane).
uint64_t checksum64(const uint8_t* data, size_t size);
