// The instruction set in the hardware timing: every opcode as the chip runs
// it, one bus access a cycle, the dummy reads and writes of the indexed and
// read-modify-write modes included, and the interrupt poll at the cycle
// the chip takes it (before an instruction's last cycle).
#include <array>
#include <utility>

#include "console/catch_up.h"
#include "cpu/cpu.h"
#include "cpu/instructions.h"

namespace {

// clang-format off
enum class Mode : uint8_t { Impl, Acc, Imm, Zpg, Zpx, Zpy, Abs, Abx, Aby, Izx, Izy, None };
enum class Op : uint8_t {
    ORA, AND, EOR, ADC, STA, LDA, CMP, SBC,                      // the g = 1 column
    ASL, ROL, LSR, ROR, STX, LDX, DEC, INC,                      // g = 2
    SLO, RLA, SRE, RRA, SAX, LAX, DCP, ISC,                      // g = 3
    ANC, ALR, ARR, XAA, LXA, SBX, LAS, SHA, SHX, SHY, TAS,       // the rest of g = 3 and friends
    BIT, STY, LDY, CPY, CPX, NOP, JAM,
    BRK, JSR, RTI, RTS, JMP, JMI, PHP, PLP, PHA, PLA,
    DEY, TAY, INY, INX, TXA, TAX, DEX, TXS, TSX, TYA,
    CLC, SEC, CLI, SEI, CLV, CLD, SED, BRANCH,
};
// clang-format on

enum class Access : uint8_t { Read, Write, Modify, Other };

struct Decoded {
    Mode mode;
    Op op;
};

// Bits 7-5 are a, 4-2 b and 1-0 g, as in the 6502's own decoding.
constexpr Decoded decode(uint8_t opcode) {
    const int a = opcode >> 5;
    const int b = (opcode >> 2) & 7;
    const int g = opcode & 3;
    const bool byY = a == 4 || a == 5;  // the X-register rows index by Y
    if (g == 1) {
        constexpr Op ops[8] = {Op::ORA, Op::AND, Op::EOR, Op::ADC, Op::STA, Op::LDA, Op::CMP, Op::SBC};
        constexpr Mode modes[8] = {Mode::Izx, Mode::Zpg, Mode::Imm, Mode::Abs,
                                   Mode::Izy, Mode::Zpx, Mode::Aby, Mode::Abx};
        if (opcode == 0x89) return {Mode::Imm, Op::NOP};
        return {modes[b], ops[a]};
    }
    if (g == 3) {
        constexpr Op ops[8] = {Op::SLO, Op::RLA, Op::SRE, Op::RRA, Op::SAX, Op::LAX, Op::DCP, Op::ISC};
        constexpr Op immediate[8] = {Op::ANC, Op::ANC, Op::ALR, Op::ARR, Op::XAA, Op::LXA, Op::SBX, Op::SBC};
        const Mode modes[8] = {Mode::Izx, Mode::Zpg,
                               Mode::Imm, Mode::Abs,
                               Mode::Izy, byY ? Mode::Zpy : Mode::Zpx,
                               Mode::Aby, byY ? Mode::Aby : Mode::Abx};
        if (b == 2) return {Mode::Imm, immediate[a]};
        if (opcode == 0x93) return {Mode::Izy, Op::SHA};
        if (opcode == 0x9B) return {Mode::Aby, Op::TAS};
        if (opcode == 0x9F) return {Mode::Aby, Op::SHA};
        if (opcode == 0xBB) return {Mode::Aby, Op::LAS};
        return {modes[b], ops[a]};
    }
    if (g == 2) {
        constexpr Op ops[8] = {Op::ASL, Op::ROL, Op::LSR, Op::ROR, Op::STX, Op::LDX, Op::DEC, Op::INC};
        switch (b) {
            case 0: return a >= 4 ? Decoded{Mode::Imm, a == 5 ? Op::LDX : Op::NOP} : Decoded{Mode::None, Op::JAM};
            case 1: return {Mode::Zpg, ops[a]};
            case 2: {
                constexpr Op implied[4] = {Op::TXA, Op::TAX, Op::DEX, Op::NOP};
                return a < 4 ? Decoded{Mode::Acc, ops[a]} : Decoded{Mode::Impl, implied[a - 4]};
            }
            case 3: return {Mode::Abs, ops[a]};
            case 4: return {Mode::None, Op::JAM};
            case 5: return {byY ? Mode::Zpy : Mode::Zpx, ops[a]};
            case 6: return {Mode::Impl, a == 4 ? Op::TXS : a == 5 ? Op::TSX : Op::NOP};
            default:
                if (a == 4) return {Mode::Aby, Op::SHX};
                return {a == 5 ? Mode::Aby : Mode::Abx, ops[a]};
        }
    }
    switch (b) {
        case 0: {
            constexpr Op ops[8] = {Op::BRK, Op::JSR, Op::RTI, Op::RTS, Op::NOP, Op::LDY, Op::CPY, Op::CPX};
            return {a >= 4 ? Mode::Imm : Mode::None, ops[a]};
        }
        case 1: {
            constexpr Op ops[8] = {Op::NOP, Op::BIT, Op::NOP, Op::NOP, Op::STY, Op::LDY, Op::CPY, Op::CPX};
            return {Mode::Zpg, ops[a]};
        }
        case 2: {
            constexpr Op ops[8] = {Op::PHP, Op::PLP, Op::PHA, Op::PLA, Op::DEY, Op::TAY, Op::INY, Op::INX};
            return {Mode::None, ops[a]};
        }
        case 3: {
            constexpr Op ops[8] = {Op::NOP, Op::BIT, Op::JMP, Op::JMI, Op::STY, Op::LDY, Op::CPY, Op::CPX};
            return {a == 2 || a == 3 ? Mode::None : Mode::Abs, ops[a]};
        }
        case 4: return {Mode::None, Op::BRANCH};
        case 5: return {Mode::Zpx, a == 4 ? Op::STY : a == 5 ? Op::LDY : Op::NOP};
        case 6: {
            constexpr Op ops[8] = {Op::CLC, Op::SEC, Op::CLI, Op::SEI, Op::TYA, Op::CLV, Op::CLD, Op::SED};
            return {Mode::Impl, ops[a]};
        }
        default: return {Mode::Abx, a == 4 ? Op::SHY : a == 5 ? Op::LDY : Op::NOP};
    }
}

constexpr Access accessOf(Op op) {
    switch (op) {
        case Op::STA:
        case Op::STX:
        case Op::STY:
        case Op::SAX:
        case Op::SHA:
        case Op::SHX:
        case Op::SHY:
        case Op::TAS: return Access::Write;
        case Op::ASL:
        case Op::ROL:
        case Op::LSR:
        case Op::ROR:
        case Op::DEC:
        case Op::INC:
        case Op::SLO:
        case Op::RLA:
        case Op::SRE:
        case Op::RRA:
        case Op::DCP:
        case Op::ISC: return Access::Modify;
        case Op::ORA:
        case Op::AND:
        case Op::EOR:
        case Op::ADC:
        case Op::LDA:
        case Op::CMP:
        case Op::SBC:
        case Op::LDX:
        case Op::LAX:
        case Op::ANC:
        case Op::ALR:
        case Op::ARR:
        case Op::XAA:
        case Op::LXA:
        case Op::SBX:
        case Op::LAS:
        case Op::BIT:
        case Op::LDY:
        case Op::CPY:
        case Op::CPX:
        case Op::NOP: return Access::Read;
        default: return Access::Other;
    }
}

}  // namespace

// The analogue-noise opcodes OR A with a chip-dependent constant first, as
// the other timing does.
static constexpr uint8_t kUnstableMagic = 0xFF;

struct CycleExact {
    using Fn = void (*)(CPU&);

    [[gnu::always_inline]] static uint8_t fetch(CPU& cpu) {
        const uint8_t value = cpu.busRead(cpu.PC);
        cpu.PC = uint16_t(cpu.PC + 1);
        return value;
    }
    static void push(CPU& cpu, uint8_t value) {
        cpu.busWrite(uint16_t(0x0100 | cpu.SP), value);
        cpu.SP = uint8_t(cpu.SP - 1);
    }
    static uint8_t pull(CPU& cpu) {
        cpu.SP = uint8_t(cpu.SP + 1);
        return cpu.busRead(uint16_t(0x0100 | cpu.SP));
    }
    // The poll of the instruction that just ended: before its last cycle.
    static void pollBeforeLastCycle(CPU& cpu, bool masked) {
        cpu.pollCycle = cpu.cycles - 2;
        cpu.pollMasked = masked;
    }
    static bool masked(const CPU& cpu) { return (cpu.P & 0x04) != 0; }

    // --- effective addresses, with the mode's dummy accesses ---

    // The address, and for the indexed modes the base's high byte and
    // whether indexing crossed a page (the high-byte stores need both).
    struct Effective {
        uint16_t address;
        uint8_t baseHigh = 0;
        bool crossed = false;
    };

    static Effective indexed(CPU& cpu, uint16_t base, uint8_t index, Access access) {
        const uint16_t address = uint16_t(base + index);
        const bool crossed = ((base & 0xFF) + index) > 0xFF;
        // The low byte is added first: the chip reads the wrong page, then
        // the right one. Writes and modifies always take that cycle.
        if (crossed || access != Access::Read) cpu.busRead(uint16_t((base & 0xFF00) | (address & 0xFF)));
        return {address, uint8_t(base >> 8), crossed};
    }

    template <Mode M>
    static Effective locate(CPU& cpu, Access access) {
        if constexpr (M == Mode::Zpg) {
            return {fetch(cpu)};
        } else if constexpr (M == Mode::Zpx || M == Mode::Zpy) {
            const uint8_t base = fetch(cpu);
            cpu.busRead(base);
            return {uint8_t(base + (M == Mode::Zpx ? cpu.X : cpu.Y))};
        } else if constexpr (M == Mode::Abs) {
            const uint8_t low = fetch(cpu);
            return {uint16_t(low | (fetch(cpu) << 8))};
        } else if constexpr (M == Mode::Abx || M == Mode::Aby) {
            const uint8_t low = fetch(cpu);
            const uint16_t base = uint16_t(low | (fetch(cpu) << 8));
            return indexed(cpu, base, M == Mode::Abx ? cpu.X : cpu.Y, access);
        } else if constexpr (M == Mode::Izx) {
            uint8_t pointer = fetch(cpu);
            cpu.busRead(pointer);
            pointer = uint8_t(pointer + cpu.X);
            const uint8_t low = cpu.busRead(pointer);
            return {uint16_t(low | (cpu.busRead(uint8_t(pointer + 1)) << 8))};
        } else {
            static_assert(M == Mode::Izy);
            const uint8_t pointer = fetch(cpu);
            const uint8_t low = cpu.busRead(pointer);
            const uint16_t base = uint16_t(low | (cpu.busRead(uint8_t(pointer + 1)) << 8));
            return indexed(cpu, base, cpu.Y, access);
        }
    }

    // --- what each operation does with the byte it reads or writes ---

    static void read(CPU& cpu, Op op, uint8_t m) {
        using namespace cpu_ops;
        switch (op) {
            case Op::ORA: setNZ(cpu, cpu.A |= m); break;
            case Op::AND: setNZ(cpu, cpu.A &= m); break;
            case Op::EOR: setNZ(cpu, cpu.A ^= m); break;
            case Op::ADC: addWithCarry(cpu, m); break;
            case Op::SBC: subtractWithBorrow(cpu, m); break;
            case Op::LDA: setNZ(cpu, cpu.A = m); break;
            case Op::LDX: setNZ(cpu, cpu.X = m); break;
            case Op::LDY: setNZ(cpu, cpu.Y = m); break;
            case Op::LAX: setNZ(cpu, cpu.A = cpu.X = m); break;
            case Op::CMP: compare(cpu, cpu.A, m); break;
            case Op::CPX: compare(cpu, cpu.X, m); break;
            case Op::CPY: compare(cpu, cpu.Y, m); break;
            case Op::BIT:
                cpu.P = uint8_t((cpu.P & ~(kNegative | kOverflow | kZero)) | (m & (kNegative | kOverflow)) |
                                ((cpu.A & m) == 0 ? kZero : 0));
                break;
            case Op::ANC:
                setNZ(cpu, cpu.A &= m);
                cpu.setFlag('C', cpu.A & 0x80);
                break;
            case Op::ALR: cpu.A = shiftRight(cpu, uint8_t(cpu.A & m)); break;
            case Op::ARR: {
                const uint8_t anded = uint8_t(cpu.A & m);
                cpu.A = uint8_t((cpu.P & kCarry ? 0x80 : 0) | (anded >> 1));
                setNZ(cpu, cpu.A);
                cpu.setFlag('C', cpu.A & 0x40);
                cpu.setFlag('V', ((cpu.A >> 6) ^ (cpu.A >> 5)) & 1);
                break;
            }
            case Op::XAA: setNZ(cpu, cpu.A = uint8_t((cpu.A | kUnstableMagic) & cpu.X & m)); break;
            case Op::LXA: setNZ(cpu, cpu.A = cpu.X = uint8_t((cpu.A | kUnstableMagic) & m)); break;
            case Op::SBX: {
                const uint8_t ax = uint8_t(cpu.A & cpu.X);
                cpu.setFlag('C', ax >= m);
                setNZ(cpu, cpu.X = uint8_t(ax - m));
                break;
            }
            case Op::LAS: setNZ(cpu, cpu.A = cpu.X = cpu.SP = uint8_t(m & cpu.SP)); break;
            default: break;  // NOP
        }
    }

    static uint8_t modify(CPU& cpu, Op op, uint8_t m) {
        using namespace cpu_ops;
        switch (op) {
            case Op::ASL: return shiftLeft(cpu, m);
            case Op::LSR: return shiftRight(cpu, m);
            case Op::ROL: return rotateLeft(cpu, m);
            case Op::ROR: return rotateRight(cpu, m);
            case Op::INC: return increment(cpu, m);
            case Op::DEC: return decrement(cpu, m);
            case Op::SLO: {
                const uint8_t r = shiftLeft(cpu, m);
                setNZ(cpu, cpu.A |= r);
                return r;
            }
            case Op::RLA: {
                const uint8_t r = rotateLeft(cpu, m);
                setNZ(cpu, cpu.A &= r);
                return r;
            }
            case Op::SRE: {
                const uint8_t r = shiftRight(cpu, m);
                setNZ(cpu, cpu.A ^= r);
                return r;
            }
            case Op::RRA: {
                const uint8_t r = rotateRight(cpu, m);
                addWithCarry(cpu, r);
                return r;
            }
            case Op::DCP: {
                const uint8_t r = uint8_t(m - 1);
                compare(cpu, cpu.A, r);
                return r;
            }
            default: {  // ISC
                const uint8_t r = uint8_t(m + 1);
                subtractWithBorrow(cpu, r);
                return r;
            }
        }
    }

    static void store(CPU& cpu, Op op, const Effective& at) {
        switch (op) {
            case Op::STA: return cpu.busWrite(at.address, cpu.A);
            case Op::STX: return cpu.busWrite(at.address, cpu.X);
            case Op::STY: return cpu.busWrite(at.address, cpu.Y);
            case Op::SAX: return cpu.busWrite(at.address, uint8_t(cpu.A & cpu.X));
            default: break;
        }
        // The high-byte stores AND the value with the base's high byte + 1;
        // on a page crossing that value also replaces the address's high byte.
        uint8_t value = op == Op::SHX ? cpu.X : op == Op::SHY ? cpu.Y : uint8_t(cpu.A & cpu.X);
        if (op == Op::TAS) cpu.SP = value;
        value = uint8_t(value & (at.baseHigh + 1));
        const uint16_t target = at.crossed ? uint16_t((value << 8) | (at.address & 0xFF)) : at.address;
        cpu.busWrite(target, value);
    }

    static void implied(CPU& cpu, Op op) {
        using namespace cpu_ops;
        switch (op) {
            case Op::TXA: setNZ(cpu, cpu.A = cpu.X); break;
            case Op::TAX: setNZ(cpu, cpu.X = cpu.A); break;
            case Op::TYA: setNZ(cpu, cpu.A = cpu.Y); break;
            case Op::TAY: setNZ(cpu, cpu.Y = cpu.A); break;
            case Op::TSX: setNZ(cpu, cpu.X = cpu.SP); break;
            case Op::TXS: cpu.SP = cpu.X; break;
            case Op::DEX: setNZ(cpu, --cpu.X); break;
            case Op::DEY: setNZ(cpu, --cpu.Y); break;
            case Op::INX: setNZ(cpu, ++cpu.X); break;
            case Op::INY: setNZ(cpu, ++cpu.Y); break;
            case Op::CLC: cpu.P &= uint8_t(~0x01); break;
            case Op::SEC: cpu.P |= 0x01; break;
            case Op::CLI: cpu.P &= uint8_t(~0x04); break;
            case Op::SEI: cpu.P |= 0x04; break;
            case Op::CLV: cpu.P &= uint8_t(~0x40); break;
            case Op::CLD: cpu.P &= uint8_t(~0x08); break;
            case Op::SED: cpu.P |= 0x08; break;
            default: break;  // NOP
        }
    }

    // --- the opcodes ---

    template <uint8_t Opcode>
    static void run(CPU& cpu) {
        constexpr Decoded d = decode(Opcode);
        constexpr Access access = accessOf(d.op);
        if constexpr (d.op == Op::JAM) {
            // The chip stops fetching; the step keeps time moving.
            cpu.halted = true;
            cpu.PC = uint16_t(cpu.PC - 1);
        } else if constexpr (d.mode == Mode::Impl) {
            cpu.busRead(cpu.PC);
            // CLI and SEI change I after the poll: it sees the old one.
            const bool wasMasked = masked(cpu);
            implied(cpu, d.op);
            pollBeforeLastCycle(cpu, wasMasked);
        } else if constexpr (d.mode == Mode::Acc) {
            cpu.busRead(cpu.PC);
            cpu.A = modify(cpu, d.op, cpu.A);
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (d.mode == Mode::Imm) {
            read(cpu, d.op, fetch(cpu));
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (d.mode != Mode::None) {
            const Effective at = locate<d.mode>(cpu, access);
            if constexpr (access == Access::Read) {
                read(cpu, d.op, cpu.busRead(at.address));
            } else if constexpr (access == Access::Write) {
                store(cpu, d.op, at);
            } else {
                const uint8_t old = cpu.busRead(at.address);
                // The chip writes the byte back unchanged before the result.
                cpu.busWrite(at.address, old);
                cpu.busWrite(at.address, modify(cpu, d.op, old));
            }
            pollBeforeLastCycle(cpu, masked(cpu));
        } else {
            special<Opcode, d.op>(cpu);
        }
    }

    template <uint8_t Opcode, Op O>
    static void special(CPU& cpu) {
        if constexpr (O == Op::BRANCH) {
            static constexpr uint8_t kFlag[4] = {0x80, 0x40, 0x01, 0x02};  // N, V, C, Z
            const int8_t offset = int8_t(fetch(cpu));
            const bool set = (cpu.P & kFlag[Opcode >> 6]) != 0;
            const bool taken = set == ((Opcode & 0x20) != 0);
            // Polled in the opcode's cycle, as any two-cycle instruction is;
            // a taken branch polls again only when it crosses a page.
            const int64_t firstPoll = cpu.cycles - 2;
            if (!taken) return pollBeforeLastCycle(cpu, masked(cpu));
            cpu.busRead(cpu.PC);
            const uint16_t target = uint16_t(cpu.PC + offset);
            if (target < cpu.PC) cpu.noteLoop(target);
            if ((target & 0xFF00) != (cpu.PC & 0xFF00)) {
                cpu.busRead(uint16_t((cpu.PC & 0xFF00) | (target & 0xFF)));
                cpu.PC = target;
                return pollBeforeLastCycle(cpu, masked(cpu));
            }
            cpu.PC = target;
            cpu.pollCycle = firstPoll;
            cpu.pollMasked = masked(cpu);
        } else if constexpr (O == Op::JMP) {
            const uint8_t low = fetch(cpu);
            const uint8_t high = cpu.busRead(cpu.PC);
            const uint16_t target = uint16_t(low | (high << 8));
            if (target == uint16_t(cpu.PC - 2)) cpu.noteLoop(target);
            cpu.PC = target;
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::JMI) {
            const uint8_t low = fetch(cpu);
            const uint8_t high = fetch(cpu);
            const uint16_t pointer = uint16_t(low | (high << 8));
            const uint8_t targetLow = cpu.busRead(pointer);
            // The pointer's high byte never leaves its page.
            const uint8_t targetHigh = cpu.busRead(uint16_t((pointer & 0xFF00) | ((pointer + 1) & 0xFF)));
            cpu.PC = uint16_t(targetLow | (targetHigh << 8));
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::JSR) {
            const uint8_t low = fetch(cpu);
            cpu.busRead(uint16_t(0x0100 | cpu.SP));
            push(cpu, uint8_t(cpu.PC >> 8));
            push(cpu, uint8_t(cpu.PC));
            const uint8_t high = cpu.busRead(cpu.PC);
            cpu.PC = uint16_t(low | (high << 8));
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::RTS) {
            cpu.busRead(cpu.PC);
            cpu.busRead(uint16_t(0x0100 | cpu.SP));
            const uint8_t low = pull(cpu);
            const uint8_t high = pull(cpu);
            cpu.PC = uint16_t(low | (high << 8));
            cpu.busRead(cpu.PC);
            cpu.PC = uint16_t(cpu.PC + 1);
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::RTI) {
            cpu.busRead(cpu.PC);
            cpu.busRead(uint16_t(0x0100 | cpu.SP));
            // B and bit 5 do not exist in the register.
            cpu.P = uint8_t((pull(cpu) & 0xCF) | 0x20);
            const uint8_t low = pull(cpu);
            const uint8_t high = pull(cpu);
            cpu.PC = uint16_t(low | (high << 8));
            // RTI's I counts at once.
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::PHP || O == Op::PHA) {
            cpu.busRead(cpu.PC);
            push(cpu, O == Op::PHA ? cpu.A : uint8_t(cpu.P | 0x30));
            pollBeforeLastCycle(cpu, masked(cpu));
        } else if constexpr (O == Op::PLA || O == Op::PLP) {
            cpu.busRead(cpu.PC);
            cpu.busRead(uint16_t(0x0100 | cpu.SP));
            const bool wasMasked = masked(cpu);
            const uint8_t value = pull(cpu);
            if constexpr (O == Op::PLA) {
                cpu_ops::setNZ(cpu, cpu.A = value);
                pollBeforeLastCycle(cpu, masked(cpu));
            } else {
                cpu.P = uint8_t((value & 0xCF) | 0x20);
                // PLP changes I after the poll, as CLI and SEI do.
                pollBeforeLastCycle(cpu, wasMasked);
            }
        } else if constexpr (O == Op::BRK) {
            cpu.interruptSequence(true);
        } else {
            // Implied-mode entries of the g = 0 and g = 2 rows with Mode::None.
            cpu.busRead(cpu.PC);
            const bool wasMasked = masked(cpu);
            implied(cpu, O);
            pollBeforeLastCycle(cpu, wasMasked);
        }
    }

    template <std::size_t... Opcodes>
    static constexpr std::array<Fn, 256> table(std::index_sequence<Opcodes...>) {
        return {&CycleExact::run<uint8_t(Opcodes)>...};
    }
};

namespace {
constexpr std::array<CycleExact::Fn, 256> kHardwareOps = CycleExact::table(std::make_index_sequence<256>());
}  // namespace

[[gnu::always_inline]] inline void CPU::stepHardwareInline() {
    if (VELKORA_UNLIKELY(halted)) {
        // Stopped: no fetch, no interrupts, but frames must still complete.
        cycles += 2;
        return;
    }
    stepStart = cycles;
    if (VELKORA_UNLIKELY(interruptDue())) return interruptSequence(false);
    const uint8_t opcode = CycleExact::fetch(*this);
    kHardwareOps[opcode](*this);
    // Both are -1 when nothing waits: one test for the two.
    if (VELKORA_UNLIKELY((oamDmaPage & idleLoopStart) >= 0)) {
        if (oamDmaPage >= 0) oamDmaHardware(uint8_t(oamDmaPage));
        if (idleLoopStart >= 0) skipIdleLoopHardware();
    }
    // Timed code waits in long runs of NOPs.
    if (opcode == 0xEA && VELKORA_UNLIKELY(memory[foldRom(PC)] == 0xEA) && PC >= 0x6000) skipNopsHardware();
}

void CPU::stepHardware() { stepHardwareInline(); }

void CPU::stepHardwareUntilDue() {
    do stepHardwareInline();
    while (!catch_up::dueAfterStep(*this));
}
