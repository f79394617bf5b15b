// The snapshot format around the units' own serialize functions.
#include "state/snapshot.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "serial/checksum.h"

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
    clock = s.io(clock);
    // The sample stage's position follows from the clock.
    if (s.reading() && clock != unit.cpu->clockSpeed) {
        throw SnapshotError("snapshot refused: it was taken on a console with CLOCK_SPEED " + std::to_string(clock) +
                            " and this one runs at " + std::to_string(unit.cpu->clockSpeed));
    }
    if (s.version() >= 3) {
        uint8_t timing = uint8_t(unit.timing());
        timing = s.io(timing, 0, 1, "timing model");
        s.hardware = timing == uint8_t(Timing::Hardware);
    } else {
        // Older formats hold design consoles only; one written of a hardware
        // console (for tests) holds what a design console would.
        s.hardware = false;
    }
    // The units read their timing's fields as the stream's timing says.
    if (s.loading()) unit.adoptTiming(s.hardware ? Timing::Hardware : Timing::Design);
    NES::Mapper& board = *unit.cartridge->mapper;
    int32_t number = board.number;
    number = s.io(number);
    s.require(number == board.number, "it holds the registers of another board");

    unit.cpu->serialize(s);
    unit.ppu->serialize(s);
    unit.apu->serialize(s);
    s.tag("BRD ");
    board.serialize(s);
    if (s.version() >= 2) unit.cartridge->serializeWindows(s, *unit.cpu, *unit.ppu);
    s.finish();
    if (s.loading()) catch_up::afterRestore(*unit.cpu);
    if (s.loading() && s.version() == 1) noteLoadedMemories(unit);
    if (s.loading()) {
        BusContext context{unit.cpu.get(), unit.ppu.get(), unit.apu.get()};
        board.afterLoad(context);
    }
}

// The header's checks but the cartridge's; returns the version.
uint32_t checkFraming(const uint8_t* data, size_t size) {
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        throw SnapshotError("not a velkora snapshot: it does not begin with \"VELKSNAP\"");
    }
    if (size < kSnapshotHeaderBytes + kSnapshotChecksumBytes) {
        throw SnapshotError("snapshot is truncated: " + std::to_string(size) + " bytes, shorter than its header");
    }
    const uint32_t version = get32(data + 8);
    if (version < kOldestSnapshotVersion || version > kSnapshotVersion) {
        throw SnapshotError("snapshot format version " + std::to_string(version) +
                            " is not supported (this velkora reads versions " + std::to_string(kOldestSnapshotVersion) +
                            " to " + std::to_string(kSnapshotVersion) + ")");
    }
    const uint64_t payload = get64(data + 24);
    const uint64_t held = size - kSnapshotHeaderBytes - kSnapshotChecksumBytes;
    if (get32(data + 12) != kSnapshotHeaderBytes || payload != held) {
        throw SnapshotError("snapshot is truncated or damaged: " + std::to_string(size) +
                            " bytes, its header announces " +
                            std::to_string(payload + kSnapshotHeaderBytes + kSnapshotChecksumBytes));
    }
    // The first format's checksum was the cartridge identity's hash.
    const uint64_t sum =
        version == 1 ? hash64(data, size - kSnapshotChecksumBytes) : checksum64(data, size - kSnapshotChecksumBytes);
    if (sum != get64(data + size - kSnapshotChecksumBytes)) {
        throw SnapshotError("snapshot checksum does not match: the data was altered or damaged");
    }
    return version;
}

// The header's checks; returns the version.
uint32_t checkHeader(NESUnit& unit, const uint8_t* data, size_t size) {
    const uint32_t version = checkFraming(data, size);
    const uint64_t identity = get64(data + 16);
    if (identity != unit.cartridge->romIdentity) {
        throw SnapshotError("snapshot is of another cartridge (ROM hash " + hex(identity) +
                            "; this console's cartridge has " + hex(unit.cartridge->romIdentity) + ")");
    }
    return version;
}

}  // namespace

namespace {

// The header and the checksum around a payload written from byte 32.
size_t seal(NESUnit& unit, uint8_t* p, size_t end, uint32_t version) {
    const size_t size = end + kSnapshotChecksumBytes;
    std::memcpy(p, kMagic, 8);
    put32(p + 8, version);
    put32(p + 12, uint32_t(kSnapshotHeaderBytes));
    put64(p + 16, unit.cartridge->romIdentity);
    put64(p + 24, end - kSnapshotHeaderBytes);
    sealSnapshot(p, size);
    return size;
}

size_t write(NESUnit& unit, std::vector<uint8_t>& out, bool picture, uint32_t version) {
    // The units are stored caught up, so owed dots and pending steps need no fields.
    catch_up::beforeStateAccess(*unit.cpu);
    if (out.size() < 32768) out.resize(32768);
    StateStream save(out, kSnapshotHeaderBytes);
    save.picture = picture;
    serializeConsole(unit, save.formatVersion(version));
    if (out.size() < save.offset() + kSnapshotChecksumBytes) out.resize(save.offset() + kSnapshotChecksumBytes);
    return seal(unit, out.data(), save.offset(), version);
}

}  // namespace

size_t writeSnapshot(NESUnit& unit, std::vector<uint8_t>& out, bool picture) {
    return write(unit, out, picture, kSnapshotVersion);
}

size_t writeSnapshot(NESUnit& unit, uint8_t* out, size_t capacity, bool picture) {
    if (capacity < kSnapshotHeaderBytes + kSnapshotChecksumBytes) return 0;
    catch_up::beforeStateAccess(*unit.cpu);
    StateStream save(StateStream::Mode::Save, out, capacity - kSnapshotChecksumBytes, kSnapshotHeaderBytes);
    save.picture = picture;
    try {
        serializeConsole(unit, save);
    } catch (const StreamFull&) {
        return 0;
    }
    return seal(unit, out, save.offset(), kSnapshotVersion);
}

std::vector<uint8_t> takeSnapshotOfVersion(NESUnit& unit, uint32_t version) {
    std::vector<uint8_t> data;
    data.resize(write(unit, data, true, version));
    return data;
}

std::vector<uint8_t> takeSnapshot(NESUnit& unit, bool picture) {
    std::vector<uint8_t> data;
    data.resize(writeSnapshot(unit, data, picture));
    return data;
}

size_t snapshotSize(NESUnit& unit, bool picture) {
    catch_up::beforeStateAccess(*unit.cpu);
    StateStream measure;
    measure.picture = picture;
    serializeConsole(unit, measure);
    return kSnapshotHeaderBytes + measure.offset() + kSnapshotChecksumBytes;
}

void checkSnapshot(NESUnit& unit, const uint8_t* data, size_t size) {
    const uint32_t version = checkHeader(unit, data, size);
    StateStream check(StateStream::Mode::Check, data + kSnapshotHeaderBytes,
                      size - kSnapshotHeaderBytes - kSnapshotChecksumBytes);
    serializeConsole(unit, check.formatVersion(version));
}

void loadCheckedSnapshot(NESUnit& unit, const uint8_t* data, size_t size) {
    const int64_t cyclesBefore = unit.cpu->cycles;
    StateStream load(StateStream::Mode::Load, data + kSnapshotHeaderBytes,
                     size - kSnapshotHeaderBytes - kSnapshotChecksumBytes);
    serializeConsole(unit, load.formatVersion(get32(data + 8)));
    unit.rebasePacing(cyclesBefore);
}

void restoreSnapshot(NESUnit& unit, const uint8_t* data, size_t size) {
    checkSnapshot(unit, data, size);
    loadCheckedSnapshot(unit, data, size);
}

Timing snapshotTiming(const uint8_t* data, size_t size) {
    const uint32_t version = checkFraming(data, size);
    if (version < 3) return Timing::Design;
    // The first fields of serializeConsole, read as it reads them.
    StateStream check(StateStream::Mode::Check, data + kSnapshotHeaderBytes,
                      size - kSnapshotHeaderBytes - kSnapshotChecksumBytes);
    check.formatVersion(version).tag("NES ");
    int32_t clock = 0;
    check.io(clock);
    uint8_t timing = 0;
    return Timing(check.io(timing, 0, 1, "timing model"));
}

void noteLoadedMemories(NESUnit& unit) {
    unit.cartridge->findPages(unit.cpu->memory.data(), unit.ppu->vram.data());
    unit.cpu->strayBytes = unit.cpu->mirrorsInUse();
    unit.ppu->strayBytes = unit.ppu->mirrorsInUse();
}

std::vector<StateStream::Field> snapshotLayout(NESUnit& unit, const uint8_t* data, size_t size) {
    const uint32_t version = checkHeader(unit, data, size);
    std::vector<StateStream::Field> fields;
    StateStream check(data + kSnapshotHeaderBytes, size - kSnapshotHeaderBytes - kSnapshotChecksumBytes, &fields);
    serializeConsole(unit, check.formatVersion(version));
    for (auto& field : fields) field.offset += kSnapshotHeaderBytes;
    return fields;
}

void sealSnapshot(uint8_t* data, size_t size) {
    if (size < kSnapshotHeaderBytes + kSnapshotChecksumBytes) return;
    const uint64_t sum = get32(data + 8) == 1 ? hash64(data, size - kSnapshotChecksumBytes)
                                              : checksum64(data, size - kSnapshotChecksumBytes);
    put64(data + size - kSnapshotChecksumBytes, sum);
}
