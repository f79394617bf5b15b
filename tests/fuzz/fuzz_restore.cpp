// libFuzzer target: damaged snapshots offered to restore. The input patches
// fields of a real snapshot and the checksum is made anew, so the decoding
// of every field is reached. A refused snapshot must leave the console as it
// was; an accepted one must run, and what it snapshots back to must restore
// to the same machine and snapshot back to the very same bytes (a damaged
// stream may hold another valid encoding of a machine, never a different one).
//
// Input: byte 0 picks the base snapshot; then records of
//   kind (1 byte): bit 0 clear = a field of the layout, set = any byte;
//                  bit 1 set = keep the old checksum (exercise that check)
//   where (2 bytes): field number, or byte offset (scaled to the size)
//   up to 8 bytes of value (fewer if the input ends), written into the field
//   (its first 8 bytes; arrays at an offset taken from the value's last byte).
#include <dirent.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_one.h"
#include "state/snapshot.h"

namespace {

struct Base {
    std::unique_ptr<NESUnit> unit;
    std::unique_ptr<NESUnit> twin;  // where re-taken snapshots are restored
    std::vector<uint8_t> snapshot;
    std::vector<StateStream::Field> layout;
};

std::vector<Base> bases;

std::vector<uint8_t> readAll(const std::string& path) {
    std::vector<uint8_t> data;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) data.insert(data.end(), chunk, chunk + n);
        std::fclose(f);
    }
    return data;
}

// Bytes written through the memory views: into the ROM windows and the mirrors.
void patch(NESUnit& unit) {
    unit.cpu->memoryShared = unit.ppu->vramShared = true;
    unit.cpu->memory[0x8123] ^= 0x5A;
    unit.cpu->memory[0xFFF1] ^= 0x01;
    unit.cpu->memory[0x0A00] = 0x33;
    unit.ppu->vram[0x0042] ^= 0xFF;
    unit.ppu->vram[0x3F40] = 0x21;
}

// Every image seed the console accepts, run as its plan says, in four
// forms: with and without the picture, mid-frame, and patched through the
// views; the snapshots then hold sprites, sound, board registers and patches.
// Each form in both timings, so the hardware timing's fields are attacked too.
void addBases(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::vector<uint8_t> image = readAll(folder + "/" + entry->d_name);
        const fuzzcase::Plan plan = fuzzcase::planFor(image.data(), image.size());
        for (int run = 0; run < 8; ++run) {
            std::unique_ptr<NESUnit> unit, twin;
            try {
                unit = std::make_unique<NESUnit>(NESUnit::Headless{}, image, plan.clock);
                twin = std::make_unique<NESUnit>(NESUnit::Headless{}, image, plan.clock);
            } catch (const std::exception&) {
                break;
            }
            if (run >= 4) unit->setTiming(Timing::Hardware);
            fuzzcase::play(*unit, plan);
            if (run % 4 >= 2)
                for (int i = 0; i < 7000; ++i) unit->advance();
            if (run % 4 == 3) patch(*unit);
            Base base;
            base.snapshot = takeSnapshot(*unit, run % 2 == 0);
            base.layout = snapshotLayout(*unit, base.snapshot.data(), base.snapshot.size());
            base.unit = std::move(unit);
            base.twin = std::move(twin);
            bases.push_back(std::move(base));
        }
    }
    ::closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* folder = std::getenv("VELKORA_FUZZ_IMAGES");
    addBases(folder ? folder : "build/fuzz/seeds");
    if (bases.empty()) {
        std::fprintf(stderr, "fuzz_restore: no runnable images in VELKORA_FUZZ_IMAGES\n");
        std::abort();
    }
    std::fprintf(stderr, "fuzz_restore: %zu base snapshots\n", bases.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Base& base = bases[data[0] % bases.size()];
    NESUnit& unit = *base.unit;
    restoreSnapshot(unit, base.snapshot.data(), base.snapshot.size());

    std::vector<uint8_t> snapshot = base.snapshot;
    bool keepChecksum = false;
    for (size_t at = 1; at + 3 <= size;) {
        const uint8_t kind = data[at];
        const size_t where = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        const size_t n = std::min<size_t>(8, size - at);
        const uint8_t* value = data + at;
        at += n;
        keepChecksum |= (kind & 2) != 0;
        if (kind & 1) {
            const size_t offset = where * snapshot.size() / 65536;
            std::memcpy(&snapshot[offset], value, std::min(n, snapshot.size() - offset));
        } else {
            const StateStream::Field& field = base.layout[where % base.layout.size()];
            const size_t inside = field.size > 8 && n > 0 ? (value[n - 1] * 257u) % (field.size - 7) : 0;
            std::memcpy(&snapshot[field.offset + inside], value, std::min(n, field.size));
        }
    }
    if (!keepChecksum) sealSnapshot(snapshot.data(), snapshot.size());

    const std::vector<uint8_t> before = takeSnapshot(unit);
    try {
        restoreSnapshot(unit, snapshot.data(), snapshot.size());
    } catch (const SnapshotError&) {
        if (takeSnapshot(unit) != before) {
            std::fprintf(stderr, "a refused snapshot changed the console\n");
            std::abort();
        }
        return 0;
    }
    const std::vector<uint8_t> taken = takeSnapshot(unit);
    restoreSnapshot(*base.twin, taken.data(), taken.size());
    if (takeSnapshot(*base.twin) != taken || base.twin->cpu->memory != unit.cpu->memory ||
        base.twin->ppu->vram != unit.ppu->vram) {
        std::fprintf(stderr, "an accepted snapshot does not restore to one machine\n");
        std::abort();
    }
    const int64_t end = unit.cycleCount() + 3000;
    while (unit.cycleCount() < end) unit.advance();
    if (data[0] & 0x80) unit.runFrame();
    return 0;
}
