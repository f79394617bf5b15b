// A fast 64-bit hash of a byte string: snapshot checksums and cartridge identities.
#pragma once

#include <cstddef>
#include <cstdint>

// Not cryptographic: it catches damage and mix-ups, not forgery.
uint64_t hash64(const uint8_t* data, size_t size, uint64_t seed = 0);
// The checksum of snapshots: eight lanes summing products of 32-bit halves,
// two lanes an instruction where the machine has vectors, the same value
// everywhere; a change to any one word always changes the result.
uint64_t checksum64(const uint8_t* data, size_t size);
// Whether the AVX2 forms of the snapshot's scans run: the processor has
// AVX2 and VELKORA_NO_AVX2 is not set (the tests set it to run the others,
// which give the same results).
bool useAvx2();
