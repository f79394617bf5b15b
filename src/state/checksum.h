// A fast 64-bit hash of a byte string: snapshot checksums and cartridge identities.
#pragma once

#include <cstddef>
#include <cstdint>

// Not cryptographic: it catches damage and mix-ups, not forgery.
uint64_t hash64(const uint8_t* data, size_t size, uint64_t seed = 0);
