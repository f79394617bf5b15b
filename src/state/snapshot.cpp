// The snapshot format around the units' own serialize functions.
#include "state/snapshot.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/nes_unit.h"
#include "state/checksum.h"

namespace {

constexpr char kMagic[8] = {'V', 'E', 'L', 'K', 'S', 'N', 'A', 'P'};

uint32_t get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint64_t get64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

std::string hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

// The console's own part first, then each unit; the board last.
void serializeConsole(NESUnit& unit, StateStream& s) {
    s.tag("NES ");
    int32_t clock = unit.cpu->clockSpeed;
    s.io(clock);
    // The sample stage's position follows from the clock.
    if (s.reading() && clock != unit.cpu->clockSpeed) {
        throw SnapshotError("snapshot refused: it was taken on a console with CLOCK_SPEED " + std::to_string(clock) +
                            " and this one runs at " + std::to_string(unit.cpu->clockSpeed));
    }
    NES::Mapper& board = *unit.cartridge->mapper;
    int32_t number = board.number;
    s.io(number);
    s.require(number == board.number, "it holds the registers of another board");

    unit.cpu->serialize(s);
    unit.ppu->serialize(s);
    unit.apu->serialize(s);
    s.tag("BRD ");
    board.serialize(s);
    s.finish();
}

size_t payloadSize(NESUnit& unit) {
    StateStream measure;
    serializeConsole(unit, measure);
    return measure.offset();
}

}  // namespace

size_t snapshotSize(NESUnit& unit) { return kSnapshotHeaderBytes + payloadSize(unit) + kSnapshotChecksumBytes; }

void writeSnapshot(NESUnit& unit, uint8_t* out, size_t size) {
    // The units are stored caught up and settled, so owed work needs no fields.
    unit.catchUpAll();
    unit.apu->sync();
    const size_t payload = size - kSnapshotHeaderBytes - kSnapshotChecksumBytes;
    std::memcpy(out, kMagic, 8);
    put32(out + 8, kSnapshotVersion);
    put32(out + 12, uint32_t(kSnapshotHeaderBytes));
    put64(out + 16, unit.cartridge->romIdentity);
    put64(out + 24, payload);
    StateStream save(StateStream::Mode::Save, out + kSnapshotHeaderBytes, payload);
    serializeConsole(unit, save);
    if (save.offset() != payload) throw std::logic_error("snapshot size changed while writing");
    sealSnapshot(out, size);
}

std::vector<uint8_t> takeSnapshot(NESUnit& unit) {
    std::vector<uint8_t> data(snapshotSize(unit));
    writeSnapshot(unit, data.data(), data.size());
    return data;
}

void checkSnapshot(NESUnit& unit, const uint8_t* data, size_t size) {
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        throw SnapshotError("not a velkora snapshot: it does not begin with \"VELKSNAP\"");
    }
    if (size < kSnapshotHeaderBytes + kSnapshotChecksumBytes) {
        throw SnapshotError("snapshot is truncated: " + std::to_string(size) + " bytes, shorter than its header");
    }
    const uint32_t version = get32(data + 8);
    if (version != kSnapshotVersion) {
        throw SnapshotError("snapshot format version " + std::to_string(version) +
                            " is not supported (this velkora reads version " + std::to_string(kSnapshotVersion) + ")");
    }
    const uint64_t payload = get64(data + 24);
    const uint64_t held = size - kSnapshotHeaderBytes - kSnapshotChecksumBytes;
    if (get32(data + 12) != kSnapshotHeaderBytes || payload != held) {
        throw SnapshotError("snapshot is truncated or damaged: " + std::to_string(size) +
                            " bytes, its header announces " +
                            std::to_string(payload + kSnapshotHeaderBytes + kSnapshotChecksumBytes));
    }
    if (hash64(data, size - kSnapshotChecksumBytes) != get64(data + size - kSnapshotChecksumBytes)) {
        throw SnapshotError("snapshot checksum does not match: the data was altered or damaged");
    }
    const uint64_t identity = get64(data + 16);
    if (identity != unit.cartridge->romIdentity) {
        throw SnapshotError("snapshot is of another cartridge (ROM hash " + hex(identity) +
                            "; this console's cartridge has " + hex(unit.cartridge->romIdentity) + ")");
    }
    StateStream check(StateStream::Mode::Check, data + kSnapshotHeaderBytes, payload);
    serializeConsole(unit, check);
}

void restoreSnapshot(NESUnit& unit, const uint8_t* data, size_t size) {
    checkSnapshot(unit, data, size);
    const int64_t cyclesBefore = unit.cpu->cycles;
    const size_t payload = size - kSnapshotHeaderBytes - kSnapshotChecksumBytes;
    StateStream load(StateStream::Mode::Load, data + kSnapshotHeaderBytes, payload);
    serializeConsole(unit, load);
    unit.rebasePacing(cyclesBefore);
}

std::vector<StateStream::Field> snapshotLayout(NESUnit& unit) {
    std::vector<StateStream::Field> fields;
    StateStream measure(&fields);
    serializeConsole(unit, measure);
    for (auto& field : fields) field.offset += kSnapshotHeaderBytes;
    return fields;
}

void sealSnapshot(uint8_t* data, size_t size) {
    if (size < kSnapshotHeaderBytes + kSnapshotChecksumBytes) return;
    put64(data + size - kSnapshotChecksumBytes, hash64(data, size - kSnapshotChecksumBytes));
}
