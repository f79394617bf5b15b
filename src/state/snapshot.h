// Complete snapshots: everything of a console that can influence what it
// does later (CPU, PPU, APU, the board's registers, the counters), as one
// byte string that names its format and cartridge and carries a checksum.
// Joypad ports and the per-frame callback belong to the host, not to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "state/state_stream.h"

class NESUnit;

// Layout: "VELKSNAP", u32 version, u32 header size (32), u64 cartridge
// identity, u64 payload size, the payload, u64 checksum of all before it.
constexpr uint32_t kSnapshotVersion = 1;
constexpr size_t kSnapshotHeaderBytes = 32;
constexpr size_t kSnapshotChecksumBytes = 8;

// The caller has the console to itself (a run thread is held or absent).
size_t snapshotSize(NESUnit& unit);
// Catches the console up and writes snapshotSize(unit) bytes into out.
void writeSnapshot(NESUnit& unit, uint8_t* out, size_t size);
std::vector<uint8_t> takeSnapshot(NESUnit& unit);
// Checks everything first: a snapshot that is not one, of another version,
// cartridge or clock, truncated, altered or holding impossible values is
// refused with SnapshotError and the console stays exactly as it was.
void restoreSnapshot(NESUnit& unit, const uint8_t* data, size_t size);
// The checks of restoreSnapshot alone.
void checkSnapshot(NESUnit& unit, const uint8_t* data, size_t size);

// Where each field lies in this console's snapshots (offsets from the
// start), and the checksum made anew after a deliberate change; for tests
// and the fuzzer.
std::vector<StateStream::Field> snapshotLayout(NESUnit& unit);
void sealSnapshot(uint8_t* data, size_t size);
