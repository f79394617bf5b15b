// Writing and reading save-state files.
#include "state/save_state.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "serial/state_stream.h"
#include "state/snapshot.h"

namespace {

constexpr size_t kPcOffset = 5;
constexpr size_t kCpuMemoryOffset = 13;
constexpr size_t kVramOffset = kCpuMemoryOffset + 65536;
constexpr size_t kBlockOffset = kVramOffset + 16384;
constexpr size_t kBlockSize = 256;

// Every board's registers and the mirroring follow the bytes the first
// boards use, behind a mark; a file without the mark loads as before.
constexpr size_t kRegistersAt = 32;
constexpr char kRegistersMark[4] = {'V', 'K', 'R', '1'};
constexpr size_t kRegistersRoom = kBlockSize - kRegistersAt - sizeof kRegistersMark;

void boardRegisters(NESUnit& unit, StateStream& s) {
    PPU& ppu = *unit.ppu;
    int32_t number = unit.cartridge->mapper->number;
    number = s.io(number);
    s.require(number == unit.cartridge->mapper->number, "the state holds another board's registers");
    ppu.serializeLayout(s);
    unit.cartridge->mapper->serialize(s);
}

size_t boardRegistersSize(NESUnit& unit) {
    StateStream measure;
    boardRegisters(unit, measure.registersOnly());
    return measure.offset();
}

// The registers in a file's block, or false when it has none that fit this board.
bool checkBoardRegisters(NESUnit& unit, const uint8_t* block) {
    if (std::memcmp(block + kRegistersAt, kRegistersMark, sizeof kRegistersMark) != 0) return false;
    StateStream check(StateStream::Mode::Check, block + kRegistersAt + sizeof kRegistersMark, boardRegistersSize(unit));
    try {
        boardRegisters(unit, check.registersOnly());
    } catch (const SnapshotError&) {
        return false;
    }
    return true;
}

[[noreturn]] void fail(int error, const std::string& path, const std::string& action) {
    throw FileError(error, path, "cannot " + action + " save state " + path + ": " + std::strerror(error));
}

}  // namespace

std::string statePath(const NESUnit& unit, int slot) { return unit.saveDir + "/" + std::to_string(slot); }

void saveState(NESUnit& unit, int slot) {
    if (unit.saveDir.empty()) throw std::runtime_error("saveState: no save directory; call setSaveDir first");
    const std::string path = statePath(unit, slot);
    catch_up::beforeStateAccess(*unit.cpu);  // the state holds memory as of now

    std::vector<uint8_t> file(kStateFileSize, 0);
    CPU& cpu = *unit.cpu;
    file[0] = cpu.P;
    file[1] = cpu.A;
    file[2] = cpu.X;
    file[3] = cpu.Y;
    file[4] = cpu.SP;
    for (int i = 0; i < 8; ++i) file[kPcOffset + i] = i < 2 ? uint8_t(cpu.PC >> (8 * i)) : 0;
    std::memcpy(&file[kCpuMemoryOffset], cpu.memory.data(), 65536);
    std::memcpy(&file[kVramOffset], unit.ppu->vram.data(), 16384);
    BusContext context{unit.cpu.get(), unit.ppu.get(), unit.apu.get()};
    uint8_t* block = &file[kBlockOffset];
    unit.cartridge->mapper->storeState(context, block);
    const size_t registers = boardRegistersSize(unit);
    if (registers > kRegistersRoom) throw std::logic_error("board registers do not fit the save-state block");
    std::memcpy(block + kRegistersAt, kRegistersMark, sizeof kRegistersMark);
    StateStream save(StateStream::Mode::Save, block + kRegistersAt + sizeof kRegistersMark, registers);
    boardRegisters(unit, save.registersOnly());

    // Write beside the slot and rename over it, so a slot is never half written.
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) fail(errno, path, "write");
    const size_t written = std::fwrite(file.data(), 1, file.size(), f);
    const int flushed = std::fflush(f);
    const int error = errno;
    if (std::fclose(f) != 0 || written != file.size() || flushed != 0) {
        std::remove(temp.c_str());
        fail(error ? error : EIO, path, "write");
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        std::remove(temp.c_str());
        fail(renameError, path, "write");
    }
}

bool loadState(NESUnit& unit, int slot) {
    const std::string path = statePath(unit, slot);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) fail(EISDIR, path, "read");
    // Only a regular file is a state: a FIFO would block, a device never ends.
    if (!S_ISREG(st.st_mode)) {
        throw FileError(EINVAL, path, "cannot read save state " + path + ": not a regular file");
    }

    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fail(errno, path, "read");
    std::vector<uint8_t> file(kStateFileSize + 1);
    const size_t got = std::fread(file.data(), 1, file.size(), f);
    const bool readError = std::ferror(f);
    std::fclose(f);
    if (readError) fail(EIO, path, "read");
    if (got != kStateFileSize) {
        throw std::invalid_argument("save state " + path + " is not a state file: expected " +
                                    std::to_string(kStateFileSize) + " bytes" +
                                    (got > kStateFileSize ? ", it is longer" : ", it has " + std::to_string(got)));
    }
    uint64_t pc = 0;
    for (int i = 7; i >= 0; --i) pc = (pc << 8) | file[kPcOffset + i];
    if (pc > 0xFFFF)
        throw std::invalid_argument("save state " + path + " holds a PC of " + std::to_string(pc) + ", beyond 65535");

    const uint8_t* block = &file[kBlockOffset];
    const bool registers = checkBoardRegisters(unit, block);

    catch_up::beforeStateAccess(*unit.cpu);  // steps not yet caught up belong to the state being replaced
    CPU& cpu = *unit.cpu;
    cpu.P = file[0];
    cpu.A = file[1];
    cpu.X = file[2];
    cpu.Y = file[3];
    cpu.SP = file[4];
    cpu.PC = uint16_t(pc);
    cpu.halted = false;  // the restored program runs again, even after a JAM
    std::memcpy(cpu.memory.data(), &file[kCpuMemoryOffset], 65536);
    std::memcpy(unit.ppu->vram.data(), &file[kVramOffset], 16384);
    BusContext context{unit.cpu.get(), unit.ppu.get(), unit.apu.get()};
    unit.cartridge->mapper->restoreState(context, block);
    if (registers) {
        // The banks they select came back with the memories.
        StateStream load(StateStream::Mode::Load, block + kRegistersAt + sizeof kRegistersMark,
                         boardRegistersSize(unit));
        boardRegisters(unit, load.registersOnly());
    }
    noteLoadedMemories(unit);
    unit.cartridge->mapper->afterLoad(context);
    // The file holds no interrupt line: a board's line held before the load
    // would fire into a program that never asked for it.
    if (cpu.hardware) cpu.setIrq(CPU::kIrqBoard, false, cpu.cycles);
    return true;
}
