// The hardware timing's interrupt lines and the sequences that take the bus
// from the instruction stream: interrupt entry, reset, and the DMA units.
#include "apu/apu.h"
#include "console/catch_up.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

namespace {

// The CPU samples NMI once a cycle: the sample of cycle c sees what the PPU
// did in the dots before 3c + kNmiSampleDot.
constexpr int64_t kNmiSampleDot = 1;

int64_t floorDiv3(int64_t value) { return value >= 0 ? value / 3 : -((2 - value) / 3); }

// The first cycle whose sample sees a change made at `dot`.
int64_t firstSampleAfter(int64_t dot) { return floorDiv3(dot - kNmiSampleDot) + 1; }

}  // namespace

void CPU::setIrq(uint8_t source, bool active, int64_t atCycle) {
    const bool was = irqSources != 0;
    irqSources = active ? uint8_t(irqSources | source) : uint8_t(irqSources & ~source);
    const bool now = irqSources != 0;
    if (!was && now) irqActiveFrom = atCycle;
    if (was && !now) irqInactiveFrom = atCycle;
}

void CPU::nmiLineRose(int64_t dot) {
    nmiRoseAtDot = dot;
    // An edge already seen waits for its entry; a second one adds nothing.
    if (nmiDetectedAt == kNoNmi) nmiDetectedAt = firstSampleAfter(dot);
}

void CPU::nmiLineFell(int64_t dot) {
    // Low again before any sample saw it high: no edge.
    if (nmiDetectedAt != kNoNmi && firstSampleAfter(dot) <= nmiDetectedAt) nmiDetectedAt = kNoNmi;
}

// BRK (its opcode already fetched), IRQ or NMI: seven cycles. An NMI seen
// before the status byte is pushed takes the vector over.
void CPU::interruptSequence(bool brk) {
    idleLoopStart = -1;
    busRead(PC);
    if (brk) PC = uint16_t(PC + 1);
    else busRead(PC);
    busWrite(uint16_t(0x0100 | SP), uint8_t(PC >> 8));
    SP = uint8_t(SP - 1);
    busWrite(uint16_t(0x0100 | SP), uint8_t(PC));
    SP = uint8_t(SP - 1);
    // The PPU may owe the dots that raise NMI: bring it here.
    stepStart = cycles;
    catch_up::beforeBoardAccess(*this);
    const bool nmi = nmiDetectedAt < cycles;
    busWrite(uint16_t(0x0100 | SP), brk ? uint8_t(P | 0x30) : uint8_t((P & ~0x10) | 0x20));
    SP = uint8_t(SP - 1);
    P |= 0x04;
    if (nmi) nmiDetectedAt = kNoNmi;
    const uint16_t vector = nmi ? nmiVector : irqVector;
    const uint8_t low = busRead(vector);
    PC = uint16_t(low | (busRead(uint16_t(vector + 1)) << 8));
    // The handler's first instruction always runs before another entry.
    pollCycle = INT64_MIN;
    pollMasked = true;
}

void CPU::resetSequence() {
    idleLoopStart = -1;
    halted = false;
    busRead(PC);
    busRead(PC);
    // The three pushes of an interrupt, with the writes turned into reads.
    for (int i = 0; i < 3; ++i) {
        busRead(uint16_t(0x0100 | SP));
        SP = uint8_t(SP - 1);
    }
    P |= 0x04;
    const uint8_t low = busRead(resetVector);
    PC = uint16_t(low | (busRead(uint16_t(resetVector + 1)) << 8));
    nmiDetectedAt = kNoNmi;
    pollCycle = INT64_MIN;
    pollMasked = true;
}

// The sprite DMA halts the CPU once the $4014 write's instruction ends: a
// halt cycle, one more to line up with a read cycle when it starts on an
// odd one, then 256 reads and 256 writes.
void CPU::oamDmaHardware(uint8_t page) {
    oamDmaPage = -1;
    stepStart = cycles;
    catch_up::beforeOamDma(*this);
    cycles += (cycles & 1) ? 2 : 1;
    const uint8_t start = ppu->oamAddr;
    const uint16_t base = uint16_t(page << 8);
    const bool plain = base < 0x2000 || base >= 0x4020;
    for (int i = 0; i < 256; ++i) {
        uint8_t byte;
        if (plain && !mapperWatchesReads) {
            byte = base < 0x2000 ? memory[(base | i) & 0x07FF] : memory[foldRom(uint16_t(base | i))];
            cycles += 1;
        } else {
            byte = busRead(uint16_t(base | i));
        }
        const uint8_t index = uint8_t(start + i);
        // Attribute bytes lose bits 2-4, as an OAMDATA write stores them.
        ppu->oam[index] = (index & 3) == 2 ? uint8_t(byte & 0xE3) : byte;
        dataBus = byte;
        cycles += 1;
    }
    ppu->oamAddr = start;
}

// The DMC's sample fetch takes the bus from the CPU at a read: the CPU
// stalls, repeating the read it was about to make, then the byte is fetched.
void CPU::dmcDma(uint16_t heldAddress) {
    (void)heldAddress;
    dmaAt = INT64_MAX;
}

void CPU::clearHardwareState() {
    dataBus = 0;
    irqSources = 0;
    irqActiveFrom = irqInactiveFrom = 0;
    nmiDetectedAt = kNoNmi;
    nmiRoseAtDot = -1;
    pollCycle = INT64_MIN;
    pollMasked = true;
    dmaAt = INT64_MAX;
    lastWriteCycle = INT64_MIN;
    oamDmaPage = -1;
}
