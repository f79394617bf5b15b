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
    catch_up::beforeBoardAccessHardware(*this);
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
// halt cycle, one more to line up with a get (odd) cycle when it starts on
// an odd one, then 256 gets and puts. A DMC fetch due meanwhile halts at
// once (the CPU is halted already) and takes the next get cycle after its
// dummy cycle, the sprite DMA waiting for the one after.
void CPU::oamDmaHardware(uint8_t page) {
    oamDmaPage = -1;
    stepStart = cycles;
    catch_up::beforeBoardAccessHardware(*this);
    const uint8_t start = ppu->oamAddr;
    const uint16_t base = uint16_t(page << 8);
    const bool plain = !mapperWatchesReads && (base < 0x2000 || base >= 0x6000);
    const int64_t halt = cycles;
    // Gets on the odd cycles from the first after the halt, each byte put
    // in the cycle after its get. With no DMC fetch due before the last put
    // nothing else takes the bus: the copy needs no cycle-by-cycle loop.
    const int64_t firstGet = (halt + 1) | 1;
    if (plain && dmaAt > firstGet + 511) {
        uint8_t byte = 0;
        for (int i = 0; i < 256; ++i) {
            const uint16_t address = uint16_t(base | i);
            byte = address < 0x2000 ? memory[address & 0x07FF] : memory[foldRom(address)];
            const uint8_t index = uint8_t(start + i);
            // Attribute bytes lose bits 2-4, as an OAMDATA write stores them.
            ppu->oam[index] = (index & 3) == 2 ? uint8_t(byte & 0xE3) : byte;
        }
        ppu->oamWritten();
        dataBus = byte;
        cycles = firstGet + 512;
        return;
    }
    int64_t dmcGet = -1;
    int copied = 0;
    bool holding = false;
    uint8_t byte = 0;
    for (int64_t c = halt;; ++c) {
        if (dmcGet < 0 && c >= dmaAt) {
            cycles = c;
            if (apu->dmcDmaWanted(c)) dmcGet = (c + 2) | 1;
        }
        if (c == dmcGet) {
            cycles = c;
            const uint8_t sample = readHardwareSlow(apu->dmcAddress);
            dataBus = sample;
            apu->dmcDmaFetched(sample, c);
            dmcGet = -1;
        } else if (c > halt && (c & 1)) {
            if (!holding && copied < 256) {
                const uint16_t address = uint16_t(base | copied);
                if (plain) {
                    byte = address < 0x2000 ? memory[address & 0x07FF] : memory[foldRom(address)];
                } else {
                    cycles = c;
                    byte = readHardwareSlow(address);
                }
                dataBus = byte;
                holding = true;
            }
        } else if (c > halt && holding) {
            const uint8_t index = uint8_t(start + copied);
            // Attribute bytes lose bits 2-4, as an OAMDATA write stores them.
            ppu->oam[index] = (index & 3) == 2 ? uint8_t(byte & 0xE3) : byte;
            ppu->oamWritten();
            holding = false;
            ++copied;
        }
        if (copied == 256 && dmcGet < 0) {
            cycles = c + 1;
            break;
        }
    }
    ppu->oamAddr = start;
}

// The DMC's sample fetch takes the bus from the CPU at a read: the CPU's
// read stays on the bus through the halt cycle, a dummy cycle and, when the
// next cycle is a put, an alignment cycle; the byte is fetched in the get
// (odd) cycle after them, then the CPU makes its read again. The held
// cycles read a register again each time, but the joypads' enable stays
// asserted through them, so the joypads see one read.
void CPU::dmcDma(uint16_t heldAddress) {
    const int64_t halt = cycles;
    if (!apu->dmcDmaWanted(halt)) return;
    const int64_t get = (halt + 2) | 1;
    const uint16_t folded = foldAddress(heldAddress);
    if (mapperWatchesReads || (folded >= 0x2000 && folded < 0x4020) || answeredByBoard(folded)) {
        const bool joypad = folded == 0x4016 || folded == 0x4017;
        const int64_t heldEnd = joypad ? halt + 1 : get;
        for (int64_t c = halt; c < heldEnd; ++c) {
            cycles = c;
            dataBus = readHardwareSlow(heldAddress);
        }
    }
    cycles = get;
    const uint8_t sample = readHardwareSlow(apu->dmcAddress);
    dataBus = sample;
    apu->dmcDmaFetched(sample, get);
    cycles = get + 1;
    ioTouched = true;
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
