// Complete snapshots: everything of a console that can influence what it
// does later (CPU, PPU, APU, the board's registers, the counters), as one
// byte string that names its format and cartridge and carries a checksum.
// Joypad ports and the per-frame callback belong to the host, not to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/state_stream.h"

class NESUnit;

// Layout: "VELKSNAP", u32 version, u32 header size (32), u64 cartridge
// identity, u64 payload size, the payload, u64 checksum of all before it.
// Version 3 adds the timing model and the state only the hardware timing
// has; version 2 stores what follows from the cartridge as bank numbers and
// memories in compact forms; version 1 (every memory whole) is still read.
// Versions 1 and 2 restore as design timing.
constexpr uint32_t kSnapshotVersion = 3;
constexpr uint32_t kOldestSnapshotVersion = 1;
constexpr size_t kSnapshotHeaderBytes = 32;
constexpr size_t kSnapshotChecksumBytes = 8;

// The caller has the console to itself (a run thread is held or absent).
// Catches the console up and writes a snapshot at the start of `out`, which
// grows as needed and is never shrunk (reuse it, and nothing is allocated);
// returns the snapshot's size. Without the picture, a restore leaves the
// finished picture as it is; the frames that follow are the same either way.
size_t writeSnapshot(NESUnit& unit, std::vector<uint8_t>& out, bool picture = true);
// The same into out[0, capacity), which saves a copy when the caller owns
// the bytes already (a Python bytes object); 0 when the snapshot does not
// fit, and then out holds nothing of use.
size_t writeSnapshot(NESUnit& unit, uint8_t* out, size_t capacity, bool picture = true);
// A snapshot in an older format, so tests can check that it still loads.
std::vector<uint8_t> takeSnapshotOfVersion(NESUnit& unit, uint32_t version);
std::vector<uint8_t> takeSnapshot(NESUnit& unit, bool picture = true);
size_t snapshotSize(NESUnit& unit, bool picture = true);
// Checks everything first: a snapshot that is not one, of an unknown
// version, of another cartridge or clock, truncated, altered or holding
// impossible values is refused with SnapshotError and the console stays
// exactly as it was.
void restoreSnapshot(NESUnit& unit, const uint8_t* data, size_t size);
// The timing model a snapshot restores (design for formats before 3),
// checked as restoreSnapshot checks it but for the cartridge.
Timing snapshotTiming(const uint8_t* data, size_t size);
// The checks of restoreSnapshot alone.
void checkSnapshot(NESUnit& unit, const uint8_t* data, size_t size);
// The loading of restoreSnapshot alone, for a snapshot that checkSnapshot
// accepted on a console of the same cartridge and clock.
void loadCheckedSnapshot(NESUnit& unit, const uint8_t* data, size_t size);
// After a whole-memory load (a save state, a first-format snapshot): which
// bank each ROM window page shows, and whether the mirrors hold anything.
void noteLoadedMemories(NESUnit& unit);

// Where each field of a snapshot lies (offsets from its start), and the
// checksum made anew after a deliberate change; for tests and the fuzzer.
// The snapshot must pass checkSnapshot on `unit`.
std::vector<StateStream::Field> snapshotLayout(NESUnit& unit, const uint8_t* data, size_t size);
void sealSnapshot(uint8_t* data, size_t size);
