// The thirteen addressing modes ("impl" has no operation). Each receives the
// address after the opcode, sets instructionLength and returns the location.
#pragma once

#include "cpu/cpu.h"

namespace cpu_ops {

using Location = CPU::Location;

// --- where a mode finds the bytes after the opcode ---

// Through the bus, as the opcode tables' modes read them; so are pointers
// in zero page.
struct BusOperand {
    CPU& cpu;
    uint16_t address;
    uint8_t byte() const { return cpu.read(address); }
    uint16_t word() const { return cpu.readWord(address); }
    Location immediate() const { return cpu.foldAddress(address); }
    uint8_t zeroPage(uint8_t at) const { return cpu.read(at); }
    Location inZeroPage(uint8_t at) const { return at; }
};

// Straight from memory at their folded index, when they lie in the same
// 16 KiB quarter of cartridge space as the opcode and no board watches reads:
// the bus would return the same bytes and nothing else would happen. Zero
// page is plain RAM then too, and its locations say so (kInMemory).
struct MemoryOperand {
    const CPU& cpu;
    uint16_t folded;
    uint8_t byte() const { return cpu.memory[folded]; }
    uint16_t word() const {
        const uint8_t* bytes = &cpu.memory[folded];
        return uint16_t(bytes[0] | (bytes[1] << 8));
    }
    Location immediate() const { return folded | CPU::kInMemory; }
    uint8_t zeroPage(uint8_t at) const { return cpu.memory[at]; }
    Location inZeroPage(uint8_t at) const { return at | CPU::kInMemory; }
};

// --- the modes by name, for choices made at compile time (where two
// functions' addresses need not compare, as in sanitizer builds) ---

enum class ModeId : uint8_t { Impl, Acc, Imm, Zpg, Zpgx, Zpgy, Abs, Absx, Absy, Xind, Indy, Ind, Rel };

// --- the modes, for either kind of operand ---

inline Location indexed(CPU& cpu, uint16_t base, uint8_t index) {
    cpu.pageCrossed = (base & 0xFF) + index > 0xFF;
    return uint16_t(base + index);
}

// Mode M's location from the bytes after the opcode at operandAddress, read
// through `operand` (acc, ind and "impl" are not among them). Relative to
// the branch opcode itself: step adds the length afterwards.
template <ModeId M, class Operand>
[[gnu::always_inline]] inline Location locate(CPU& cpu, uint16_t operandAddress, const Operand& operand) {
    cpu.instructionLength = M == ModeId::Abs || M == ModeId::Absx || M == ModeId::Absy ? 3 : 2;
    if constexpr (M == ModeId::Imm) return operand.immediate();
    else if constexpr (M == ModeId::Zpg) return operand.inZeroPage(operand.byte());
    else if constexpr (M == ModeId::Zpgx) return operand.inZeroPage(uint8_t(operand.byte() + cpu.X));
    else if constexpr (M == ModeId::Zpgy) return operand.inZeroPage(uint8_t(operand.byte() + cpu.Y));
    else if constexpr (M == ModeId::Abs) return operand.word();
    else if constexpr (M == ModeId::Absx) return indexed(cpu, operand.word(), cpu.X);
    else if constexpr (M == ModeId::Absy) return indexed(cpu, operand.word(), cpu.Y);
    else if constexpr (M == ModeId::Rel) return uint16_t(operandAddress - 1 + int8_t(operand.byte()));
    else {
        static_assert(M == ModeId::Xind || M == ModeId::Indy, "a mode with operand bytes");
        // The pointer lies in zero page and wraps there.
        const uint8_t p = uint8_t(operand.byte() + (M == ModeId::Xind ? cpu.X : 0));
        const uint8_t low = operand.zeroPage(p);
        const uint16_t pointer = uint16_t(low | (operand.zeroPage(uint8_t(p + 1)) << 8));
        if constexpr (M == ModeId::Xind) return pointer;
        else return indexed(cpu, pointer, cpu.Y);
    }
}

template <ModeId M>
Location onBus(CPU& cpu, uint16_t operand) {
    return locate<M>(cpu, operand, BusOperand{cpu, operand});
}

// --- the mode operations the tables hold ---

inline Location acc(CPU& cpu, uint16_t) {
    cpu.instructionLength = 1;
    return CPU::kAccumulator;
}

inline Location imm(CPU& cpu, uint16_t operand) { return onBus<ModeId::Imm>(cpu, operand); }
inline Location zpg(CPU& cpu, uint16_t operand) { return onBus<ModeId::Zpg>(cpu, operand); }
inline Location zpgx(CPU& cpu, uint16_t operand) { return onBus<ModeId::Zpgx>(cpu, operand); }
inline Location zpgy(CPU& cpu, uint16_t operand) { return onBus<ModeId::Zpgy>(cpu, operand); }
inline Location abs(CPU& cpu, uint16_t operand) { return onBus<ModeId::Abs>(cpu, operand); }
inline Location absx(CPU& cpu, uint16_t operand) { return onBus<ModeId::Absx>(cpu, operand); }
inline Location absy(CPU& cpu, uint16_t operand) { return onBus<ModeId::Absy>(cpu, operand); }
inline Location xind(CPU& cpu, uint16_t operand) { return onBus<ModeId::Xind>(cpu, operand); }
inline Location indy(CPU& cpu, uint16_t operand) { return onBus<ModeId::Indy>(cpu, operand); }
inline Location rel(CPU& cpu, uint16_t operand) { return onBus<ModeId::Rel>(cpu, operand); }

// The pointer comes straight from memory; its high byte never leaves the
// pointer's page (the 6502's JMP ($xxFF) quirk).
inline Location ind(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 3;
    const uint16_t pointer =
        uint16_t(cpu.memory[cpu.foldAddress(operand)] | (cpu.memory[cpu.foldAddress(uint16_t(operand + 1))] << 8));
    const uint8_t low = cpu.read(pointer);
    const uint8_t high = cpu.read(uint16_t((pointer & 0xFF00) | ((pointer + 1) & 0xFF)));
    return uint16_t(low | (high << 8));
}

// The tables' operation of a mode; "impl" has none.
constexpr CPU::ModeOp modeOp(ModeId mode) {
    constexpr CPU::ModeOp kOps[] = {nullptr, acc, imm, zpg, zpgx, zpgy, abs, absx, absy, xind, indy, ind, rel};
    return kOps[int(mode)];
}

// The mode `M` of the tables, its operand bytes read from memory at `folded`
// when they lie in the opcode's quarter of cartridge space (a board watching
// reads has to be ruled out by the caller). acc and ind read none through
// the bus and stay as they are.
template <ModeId M>
Location locateInMemory(CPU& cpu, uint16_t operandAddress, uint16_t folded) {
    constexpr bool word = M == ModeId::Abs || M == ModeId::Absx || M == ModeId::Absy;
    const uint16_t offset = operandAddress & 0x3FFF;
    if (VELKORA_UNLIKELY(offset == 0 || (word && offset == 0x3FFF))) return modeOp(M)(cpu, operandAddress);
    if constexpr (M == ModeId::Acc || M == ModeId::Ind) return modeOp(M)(cpu, operandAddress);
    else return locate<M>(cpu, operandAddress, MemoryOperand{cpu, folded});
}

}  // namespace cpu_ops
