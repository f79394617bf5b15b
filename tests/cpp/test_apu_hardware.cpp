// The APU in the hardware timing: the frame counter in CPU cycles, the
// status register, length counter write timing, the DMC and its DMA, power,
// reset, timing changes and snapshots. Register accesses are made at chosen
// cycles the way the CPU's bus makes them; the DMA tests run instructions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/state_stream.h"
#include "snapshot_fields.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

// A CPU, APU and PPU in the hardware timing as at power-on, with NROM.
struct Rig : Machine {
    APU& a = *apu;
    Rig() : Machine(plainImage()) {
        cpu->hardware = apu->hardware = ppu->hardware = true;
        apu->powerOnTiming();
        cpu->clearHardwareState();
    }
    // A write in `cycle`, as the hardware bus makes it.
    void writeAt(int64_t cycle, uint16_t address, uint8_t value) {
        cpu->cycles = cycle;
        cpu->stepStart = cycle;
        catch_up::beforeWriteHardware(*cpu, address);
        cpu->write(address, value);
        cpu->cycles = cycle + 1;
    }
    // A $4015 read in `cycle`.
    uint8_t statusAt(int64_t cycle) {
        cpu->cycles = cycle;
        cpu->stepStart = cycle;
        catch_up::beforeRegisterAccessHardware(*cpu);
        const uint8_t status = a.readStatus();
        cpu->cycles = cycle + 1;
        return status;
    }
    bool frameIrqAt(int64_t cycle) { return statusAt(cycle) & 0x40; }
    // The fetch the DMC asks for, made as the CPU would: halted in the cycle
    // asked for, the byte taken in the get cycle after the dummy cycle.
    int64_t fetchDue(uint8_t byte = 0) {
        const int64_t halt = cpu->dmaAt;
        EXPECT_TRUE(a.dmcDmaWanted(halt));
        const int64_t get = (halt + 2) | 1;
        a.dmcDmaFetched(byte, get);
        cpu->cycles = get + 1;
        return get;
    }
    // Starts a sample of 17 bytes at `cycle` with the fetch it asks for made.
    void startSample(int64_t cycle, uint8_t flags = 0x0F) {
        writeAt(cycle, 0x4010, flags);
        writeAt(cycle + 1, 0x4013, 0x01);
        writeAt(cycle + 2, 0x4015, 0x10);
        fetchDue();
    }
};

// The cycle a $4017 write of $00 in `cycle` restarts the sequence at, from
// when the IRQ flag first shows: 29828 cycles later, to a read after that.
int64_t sequenceStartAfterWrite(Rig& r, int64_t cycle) {
    r.writeAt(cycle - 1, 0x4017, 0x40);  // clears the flag
    r.writeAt(cycle, 0x4017, 0x00);
    for (int64_t at = cycle + 29828; at < cycle + 29836; ++at) {
        if (r.frameIrqAt(at)) return at - 1 - 29828;
    }
    ADD_FAILURE() << "no frame IRQ";
    return -1;
}

TEST(HardwareApu, FrameWriteTakesEffectTwoOrThreeCyclesLaterByParity) {
    Rig r;
    EXPECT_EQ(sequenceStartAfterWrite(r, 1000) - 1000, 2);
    EXPECT_EQ(sequenceStartAfterWrite(r, 40001) - 40001, 3);
    EXPECT_EQ(sequenceStartAfterWrite(r, 80002) - 80002, 2);
    EXPECT_EQ(sequenceStartAfterWrite(r, 120003) - 120003, 3);
}

TEST(HardwareApu, FrameIrqFlagIsSetInThreeCyclesRunningAndClearedByTheRead) {
    Rig r;
    r.writeAt(100, 0x4017, 0x00);
    const int64_t start = 102;
    EXPECT_FALSE(r.frameIrqAt(start + 29828));
    EXPECT_EQ(r.cpu->irqSources, 0);
    EXPECT_TRUE(r.frameIrqAt(start + 29829));  // read, and so cleared
    EXPECT_TRUE(r.frameIrqAt(start + 29830));  // set again in the next cycle
    EXPECT_TRUE(r.frameIrqAt(start + 29831));  // and once more
    EXPECT_FALSE(r.frameIrqAt(start + 29832));
    // The IRQ line follows the flag: a poll sees it from the cycle after the
    // one that set it until the cycle after the read.
    EXPECT_EQ(r.cpu->irqSources, 0);
    EXPECT_EQ(r.cpu->irqActiveFrom, start + 29830 + 1);
    EXPECT_EQ(r.cpu->irqInactiveFrom, start + 29831 + 1);
    // The next sequence begins in the cycle of the last step.
    EXPECT_FALSE(r.frameIrqAt(start + 2 * 29830 - 2));
    EXPECT_TRUE(r.frameIrqAt(start + 2 * 29830 - 1));
}

TEST(HardwareApu, FrameIrqOnlyInFourStepModeWithoutInhibit) {
    for (const uint8_t mode : {0x00, 0x40, 0x80, 0xC0}) {
        Rig r;
        r.writeAt(3000, 0x4017, mode);
        EXPECT_EQ(r.frameIrqAt(3003 + 29830), mode == 0x00) << int(mode);
        EXPECT_EQ(r.cpu->irqSources, 0) << int(mode);
    }
}

TEST(HardwareApu, FrameIrqAcknowledgedByBitSixOnly) {
    Rig r;
    r.writeAt(500, 0x4017, 0x00);
    r.cpu->cycles = 500 + 29840;
    catch_up::beforeStateAccess(*r.cpu);
    EXPECT_TRUE(r.a.frameIrq);
    EXPECT_EQ(r.cpu->irqSources, CPU::kIrqFrame);
    EXPECT_EQ(r.cpu->irqActiveFrom, 502 + 29828 + 1);
    r.writeAt(500 + 29850, 0x4017, 0x80);
    r.writeAt(500 + 29860, 0x4017, 0x00);
    EXPECT_TRUE(r.a.frameIrq);
    r.writeAt(500 + 29870, 0x4017, 0xC0);
    EXPECT_FALSE(r.a.frameIrq);
    EXPECT_EQ(r.cpu->irqSources, 0);
    EXPECT_EQ(r.cpu->irqInactiveFrom, 500 + 29870 + 1);
}

TEST(HardwareApu, StatusReportsEveryLengthCounterAndTheDmc) {
    Rig r;
    r.writeAt(10, 0x4013, 0x01);
    r.writeAt(20, 0x4015, 0x1F);
    const uint16_t loads[4] = {0x4003, 0x4007, 0x400B, 0x400F};
    uint8_t expected = 0x10;  // the sample has bytes left
    for (int k = 0; k < 4; ++k) {
        r.writeAt(30 + 10 * k, loads[k], 0x08);
        expected |= uint8_t(1 << k);
        EXPECT_EQ(r.statusAt(31 + 10 * k), expected) << k;
    }
    r.writeAt(110, 0x4015, 0x0F);
    EXPECT_EQ(r.statusAt(111), 0x0F);
    r.writeAt(120, 0x4015, 0x00);
    EXPECT_EQ(r.statusAt(121), 0x00);
}

TEST(HardwareApu, DisabledChannelsTakeNoLengthLoad) {
    Rig r;
    r.writeAt(10, 0x4015, 0x05);  // pulse 1 and triangle
    const uint16_t loads[4] = {0x4003, 0x4007, 0x400B, 0x400F};
    for (int k = 0; k < 4; ++k) r.writeAt(20 + 10 * k, loads[k], 0x08);
    EXPECT_EQ(r.a.lengthCounter[0], 254);
    EXPECT_EQ(r.a.lengthCounter[1], 0);
    EXPECT_EQ(r.a.lengthCounter[2], 254);
    EXPECT_EQ(r.a.lengthCounter[3], 0);
}

// Length clocks in both modes, each seen by a read in the cycle after it,
// not in its own; the five-step mode clocks as it starts.
TEST(HardwareApu, LengthClocksAtTheSequenceSteps) {
    const std::pair<uint8_t, std::vector<int64_t>> cases[] = {
        {0x00, {14913, 29829, 29830 + 14913, 2 * 29830 - 1}},
        {0x80, {0, 14913, 37281, 37282 + 14913}},
    };
    for (const auto& [mode, clocks] : cases) {
        Rig r;
        r.writeAt(10, 0x4015, 0x01);
        r.writeAt(20, 0x4000, 0x10);             // no halt
        r.writeAt(30, 0x4003, uint8_t(5 << 3));  // 4
        r.writeAt(41, 0x4017, mode);             // odd: the sequence starts at 44
        const int64_t start = 44;
        int left = 4;
        for (const int64_t clock : clocks) {
            EXPECT_EQ(r.statusAt(start + clock) & 1, 1) << int(mode) << " " << clock;
            EXPECT_EQ(r.a.lengthCounter[0], left) << int(mode) << " " << clock;
            r.statusAt(start + clock + 1);
            EXPECT_EQ(r.a.lengthCounter[0], --left) << int(mode) << " " << clock;
        }
        EXPECT_EQ(r.statusAt(start + clocks.back() + 2) & 1, 0) << int(mode);
    }
}

// A halt written in the clock's own cycle takes effect after the clock; a
// reload in that cycle is lost when the clock decremented the counter.
TEST(HardwareApu, HaltAndReloadWrittenInTheClocksCycleComeAfterIt) {
    const int64_t clock = 102 + 14913;  // after a $4017 write in cycle 100
    struct Case {
        const char* what;
        uint8_t haltBefore;
        int64_t cycle;
        uint16_t address;
        uint8_t value;
        int after;
    };
    const Case cases[] = {
        {"halt a cycle before", 0x10, clock - 1, 0x4000, 0x30, 6},
        {"halt in the cycle", 0x10, clock, 0x4000, 0x30, 5},
        {"unhalt a cycle before", 0x30, clock - 1, 0x4000, 0x10, 5},
        {"unhalt in the cycle", 0x30, clock, 0x4000, 0x10, 6},
        {"triangle halt in the cycle", 0x10, clock, 0x4008, 0x80, 5},
        {"reload a cycle before", 0x10, clock - 1, 0x4003, 0x18, 1},  // 2, then clocked
        {"reload in the cycle", 0x10, clock, 0x4003, 0x18, 5},        // lost
        {"reload a cycle after", 0x10, clock + 1, 0x4003, 0x18, 2},
    };
    for (const Case& c : cases) {
        Rig r;
        const bool triangle = c.address == 0x4008;
        r.writeAt(10, 0x4015, 0x05);
        r.writeAt(20, triangle ? 0x4008 : 0x4000, triangle ? 0x00 : c.haltBefore);
        r.writeAt(30, triangle ? 0x400B : 0x4003, 0x38);  // 6
        r.writeAt(100, 0x4017, 0x00);
        r.writeAt(c.cycle, c.address, c.value);
        r.statusAt(clock + 2);
        EXPECT_EQ(r.a.lengthCounter[triangle ? 2 : 0], c.after) << c.what;
    }
    // A counter at 0 is not clocked, so a reload in the clock's cycle holds.
    Rig r;
    r.writeAt(10, 0x4015, 0x01);
    r.writeAt(20, 0x4000, 0x10);
    r.writeAt(100, 0x4017, 0x00);
    r.writeAt(clock, 0x4003, 0x18);
    r.statusAt(clock + 2);
    EXPECT_EQ(r.a.lengthCounter[0], 2);
}

TEST(HardwareApu, PowerOnActsAsAFrameWriteOfZeroBeforeTheFirstInstruction) {
    auto unit = hardwareConsole(plainImage());
    EXPECT_EQ(int64_t(unit->cpu->cycles), 7);
    // Written ten cycles before the first instruction, in cycle -3: the
    // sequence began at 0.
    EXPECT_EQ(unit->apu->frameStart, 0);
    EXPECT_EQ(unit->apu->frameEventAt, 7457);
    EXPECT_FALSE(unit->apu->frameFiveStep);
    EXPECT_EQ(unit->apu->dmcBitsRemaining, 8);
    // Back to the design: as constructed.
    unit->setTiming(Timing::Design);
    EXPECT_EQ(unit->apu->frameEventAt, APU::kNoCycle);
    EXPECT_EQ(unit->apu->frameReset, 0);
    EXPECT_EQ(unit->apu->dmcBitsRemaining, 0);
}

TEST(HardwareApu, ResetClearsStatusAndFlagsAndWritesTheFrameModeAgain) {
    auto unit = hardwareConsole(plainImage());
    APU& a = *unit->apu;
    CPU& cpu = *unit->cpu;
    cpu.memory[0x4017] = 0x80;
    a.frameIrq = a.dmcIrq = true;
    cpu.setIrq(CPU::kIrqFrame | CPU::kIrqDmc, true, 0);
    a.channelEnabled[0] = true;
    a.lengthCounter[0] = 20;
    a.dmcBytesRemaining = 5;
    const int64_t at = cpu.cycles;
    unit->softReset();
    EXPECT_EQ(a.lengthCounter[0], 0);
    EXPECT_FALSE(a.channelEnabled[0]);
    EXPECT_EQ(a.dmcBytesRemaining, 0);
    EXPECT_FALSE(a.frameIrq);
    EXPECT_FALSE(a.dmcIrq);
    EXPECT_EQ(cpu.irqSources, 0);
    EXPECT_EQ(cpu.memory[0x4015], 0);
    // The last mode, written ten cycles before the first instruction, which
    // comes seven cycles after the reset sequence starts.
    EXPECT_EQ(a.frameWriteValue, 0x80);
    const int64_t written = at + 7 - 10;
    EXPECT_EQ(a.frameWriteAt, written + ((written & 1) ? 3 : 2));
    // It then runs the five-step mode from there.
    for (int i = 0; i < 3; ++i) unit->runFrame();
    EXPECT_TRUE(a.frameFiveStep);
}

// --- the DMC ---

TEST(HardwareApu, DmcLoadFetchHaltsInTheGetCycleOfTheSecondApuCycleAfter) {
    for (const int64_t w : {int64_t(100), int64_t(201)}) {
        Rig r;
        r.writeAt(10, 0x4013, 0x00);
        r.writeAt(w, 0x4015, 0x10);
        EXPECT_EQ(r.cpu->dmaAt, w % 2 == 0 ? w + 3 : w + 4) << w;
        EXPECT_TRUE(r.a.dmcBufferEmpty);
        // A sample already started asks for nothing more.
        r.writeAt(w + 1, 0x4015, 0x10);
        EXPECT_EQ(r.cpu->dmaAt, w % 2 == 0 ? w + 3 : w + 4) << w;
        // Stopped, it asks for nothing.
        r.writeAt(w + 2, 0x4015, 0x00);
        EXPECT_EQ(r.cpu->dmaAt, APU::kNoCycle) << w;
    }
}

TEST(HardwareApu, DmcReloadFetchFollowsTheOutputCycleAndARateChangeWaitsForTheTimer) {
    Rig r;
    r.startSample(30);  // rate $F: 27 steps a bit
    EXPECT_FALSE(r.a.dmcBufferEmpty);
    EXPECT_EQ(r.a.dmcBytesRemaining, 16);
    // The silent unit takes the byte as its output cycle ends; the next
    // fetch halts in the put cycle after that APU step. The clock pending
    // from before the rate change keeps its time.
    const int64_t next = r.a.dmcNextClock;
    EXPECT_EQ(r.cpu->dmaAt, 2 * (next + (r.a.dmcBitsRemaining - 1) * 27) + 2);
    r.writeAt(r.cpu->cycles, 0x4010, 0x00);
    EXPECT_EQ(r.a.dmcNextClock, next);
    EXPECT_EQ(r.cpu->dmaAt, 2 * (next + (r.a.dmcBitsRemaining - 1) * 214) + 2);
    // Eight bits later, and eight more for each byte.
    const int64_t first = r.cpu->dmaAt;
    r.fetchDue();
    EXPECT_EQ(r.cpu->dmaAt, first + 2 * 8 * 214);
    EXPECT_EQ(r.a.dmcBytesRemaining, 15);
}

TEST(HardwareApu, DmcOutputUnitPlaysTheShiftRegisterAndHoldsItsLevel) {
    Rig r;
    r.writeAt(5, 0x4011, 0x40);
    r.startSample(30);
    r.fetchDue(0xFF);  // the first byte moved to the shift register, the second fetched
    const int32_t level = r.a.dmcLevel;
    // The first byte was 0: eight clocks down by 2; then up by 2.
    catch_up::beforeStateAccess(*r.cpu);
    r.cpu->cycles = r.cpu->cycles + 2 * 27 * 8;
    catch_up::beforeStateAccess(*r.cpu);
    EXPECT_EQ(r.a.dmcLevel, level - 16);
    EXPECT_FALSE(r.a.dmcSilence);
}

TEST(HardwareApu, DmcIrqAtTheLastFetchAcknowledgedByWritesOnly) {
    Rig r;
    r.writeAt(10, 0x4010, 0x8F);
    r.writeAt(20, 0x4013, 0x00);  // one byte
    r.writeAt(30, 0x4015, 0x10);
    const int64_t get = r.fetchDue();
    EXPECT_TRUE(r.a.dmcIrq);
    EXPECT_EQ(r.cpu->irqSources, CPU::kIrqDmc);
    EXPECT_EQ(r.cpu->irqActiveFrom, get + 1);
    EXPECT_EQ(r.statusAt(get + 5) & 0x90, 0x80);  // reading leaves it
    EXPECT_TRUE(r.a.dmcIrq);
    r.writeAt(get + 10, 0x4010, 0x8F);  // bit 7 set: kept
    EXPECT_TRUE(r.a.dmcIrq);
    r.writeAt(get + 20, 0x4010, 0x0F);
    EXPECT_FALSE(r.a.dmcIrq);
    EXPECT_EQ(r.cpu->irqSources, 0);
    // A $4015 write clears it too.
    r.writeAt(get + 30, 0x4010, 0x8F);
    r.writeAt(get + 40, 0x4015, 0x10);
    r.fetchDue();
    EXPECT_TRUE(r.a.dmcIrq);
    r.writeAt(r.cpu->cycles, 0x4015, 0x00);
    EXPECT_FALSE(r.a.dmcIrq);
    // A looping sample starts again and never sets it.
    r.writeAt(r.cpu->cycles, 0x4010, 0xCF);
    r.writeAt(r.cpu->cycles, 0x4015, 0x10);
    r.fetchDue();
    EXPECT_FALSE(r.a.dmcIrq);
    EXPECT_EQ(r.a.dmcBytesRemaining, 1);
}

// --- the DMA, with instructions running ---

// Runs instructions from `address`, starting in `cycle`, until `until`.
void runFrom(Rig& r, uint16_t address, int64_t cycle, int64_t until) {
    ASSERT_GE(cycle, int64_t(r.cpu->cycles));
    r.cpu->PC = address;
    r.cpu->cycles = cycle;
    while (r.cpu->cycles < until) r.cpu->stepHardware();
}

TEST(HardwareDmcDma, LoadFetchStallsThreeCyclesReloadFetchFour) {
    Rig r;
    for (uint16_t i = 0; i < 0x600; ++i) r.cpu->memory[0x0200 + i] = 0xEA;  // NOP
    r.writeAt(1000, 0x4010, 0x0F);
    r.writeAt(1001, 0x4013, 0x01);
    r.writeAt(1002, 0x4015, 0x10);
    const int64_t load = r.cpu->dmaAt;  // 1005: an opcode read of the NOPs from 1003
    runFrom(r, 0x0200, 1003, load + 1);
    EXPECT_EQ(r.a.dmcBytesRemaining, 16);
    EXPECT_EQ(int64_t(r.cpu->cycles) - 1003, 2 * int64_t(r.cpu->PC - 0x0200) + 3);
    const int64_t reload = r.cpu->dmaAt;
    ASSERT_EQ(reload % 2, 0);
    runFrom(r, r.cpu->PC, r.cpu->cycles, reload + 1);
    EXPECT_EQ(r.a.dmcBytesRemaining, 15);
    EXPECT_EQ(int64_t(r.cpu->cycles) - 1003, 2 * int64_t(r.cpu->PC - 0x0200) + 3 + 4);
}

TEST(HardwareDmcDma, HaltWaitsOverWriteCycles) {
    // INC $00F0 ends in two writes; a halt asked for in the first waits for
    // the next opcode fetch.
    Rig r;
    const uint8_t code[] = {0xEE, 0xF0, 0x00, 0xEA, 0xEA};
    std::memcpy(&r.cpu->memory[0x0300], code, sizeof code);
    r.cpu->memory[0x00F0] = 0x41;
    r.startSample(2000);
    const int64_t reload = r.cpu->dmaAt;
    runFrom(r, 0x0300, reload - 4, reload);
    EXPECT_EQ(r.cpu->memory[0x00F0], 0x42);
    EXPECT_EQ(int64_t(r.cpu->cycles), reload + 2);  // no stall inside INC
    r.cpu->stepHardware();                          // halted in its opcode fetch, a put cycle: four cycles
    EXPECT_EQ(r.a.dmcBytesRemaining, 15);
    EXPECT_EQ(int64_t(r.cpu->cycles), reload + 2 + 4 + 2);
}

TEST(HardwareDmcDma, HeldReadsRepeatOnThePpuDataPortButOnceOnTheJoypads) {
    for (const bool joypad : {false, true}) {
        Rig r;
        // LDA $2007 or LDA $4016, its read in its fourth cycle.
        const uint8_t code[] = {0xAD, uint8_t(joypad ? 0x16 : 0x07), uint8_t(joypad ? 0x40 : 0x20), 0xEA};
        std::memcpy(&r.cpu->memory[0x0400], code, sizeof code);
        r.writeAt(10, 0x4016, 0x00);
        r.startSample(20);
        const int64_t reload = r.cpu->dmaAt;
        r.ppu->v = 0;
        r.cpu->joypadShift[0] = 0;
        runFrom(r, 0x0400, reload - 3, reload);
        // Halt, dummy and alignment cycles, the get, then the real read.
        EXPECT_EQ(int64_t(r.cpu->cycles), reload + 5) << joypad;
        if (joypad) EXPECT_EQ(r.cpu->joypadShift[0], 0x03);  // two reads: held, then real
        else EXPECT_EQ(r.ppu->v, 4);                         // four reads
    }
}

TEST(HardwareDmcDma, SpriteDmaLetsTheFetchTakeAGetCycle) {
    for (const bool dmc : {false, true}) {
        for (const int shift : {0, 1}) {
            Rig r;
            for (int i = 0; i < 256; ++i) r.cpu->memory[0x0200 + i] = uint8_t(i);
            const uint8_t code[] = {0x8D, 0x14, 0x40, 0xEA};  // STA $4014
            std::memcpy(&r.cpu->memory[0x0500], code, sizeof code);
            r.cpu->A = 2;
            r.startSample(20);
            const int64_t reload = r.cpu->dmaAt;
            if (!dmc) r.writeAt(r.cpu->cycles, 0x4015, 0x00);
            // The write in `start + 3`; the sprite DMA halts in `start + 4`
            // and the fetch is due 200 cycles into it.
            const int64_t start = reload - 204 - shift;
            runFrom(r, 0x0500, start, start + 1);
            const int64_t took = int64_t(r.cpu->cycles) - (start + 4);
            const int64_t alone = ((start + 4) & 1) ? 514 : 513;
            EXPECT_EQ(took, alone + (dmc ? 2 : 0)) << dmc << " " << shift;
            for (int i = 0; i < 256; ++i) {
                const uint8_t want = (i & 3) == 2 ? uint8_t(i & 0xE3) : uint8_t(i);
                ASSERT_EQ(r.ppu->oam[i], want) << i;
            }
            EXPECT_EQ(r.a.dmcBytesRemaining, dmc ? 15 : 0);
        }
    }
}

// With no fetch due before its last put the copy skips the cycle-by-cycle
// loop, which a board watching reads still takes (its hook sees each get).
// The two must agree wherever the fetch falls: in the copy, on its last
// cycles, just after it.
TEST(HardwareDmcDma, SpriteDmaShortcutAgreesWithTheCycleLoop) {
    struct Outcome {
        int64_t cycles, dmaAt;
        std::array<uint8_t, 256> oam;
        uint8_t dataBus;
        int32_t dmcBytes;
    };
    const auto dma = [](int64_t lead, bool cycleLoop) {
        Rig r;
        for (int i = 0; i < 256; ++i) r.cpu->memory[0x0300 + i] = uint8_t(i * 37 + 11);
        const uint8_t code[] = {0x8D, 0x14, 0x40, 0xEA};  // STA $4014
        std::memcpy(&r.cpu->memory[0x0500], code, sizeof code);
        r.cpu->A = 3;
        r.startSample(20);
        r.cpu->mapperWatchesReads = cycleLoop;
        const int64_t start = r.cpu->dmaAt - lead;
        runFrom(r, 0x0500, start, start + 1);
        return Outcome{r.cpu->cycles, r.cpu->dmaAt, r.ppu->oam, r.cpu->dataBus, r.a.dmcBytesRemaining};
    };
    for (int64_t lead = 0; lead < 530; lead += lead < 500 ? 37 : 1) {
        const Outcome quick = dma(lead, false), loop = dma(lead, true);
        EXPECT_EQ(quick.cycles, loop.cycles) << lead;
        EXPECT_EQ(quick.dmaAt, loop.dmaAt) << lead;
        EXPECT_EQ(quick.oam, loop.oam) << lead;
        EXPECT_EQ(quick.dataBus, loop.dataBus) << lead;
        EXPECT_EQ(quick.dmcBytes, loop.dmcBytes) << lead;
    }
}

// --- snapshots ---

// 32 KiB NROM: a looping DMC sample, pulse 1, the frame IRQ acknowledged by
// the handler; the main loop counts.
Bytes dmcProgram() {
    Bytes prg = {
        0x78, 0xA2, 0xFF, 0x9A,        // SEI; LDX #$FF; TXS
        0xA9, 0x4F, 0x8D, 0x10, 0x40,  // LDA #$4F; STA $4010: loop, fastest rate
        0xA9, 0x00, 0x8D, 0x12, 0x40,  // LDA #$00; STA $4012: sample at $C000
        0xA9, 0x01, 0x8D, 0x13, 0x40,  // LDA #$01; STA $4013: 17 bytes
        0xA9, 0x9F, 0x8D, 0x00, 0x40,  // LDA #$9F; STA $4000
        0xA9, 0x80, 0x8D, 0x02, 0x40,  // LDA #$80; STA $4002
        0xA9, 0x1F, 0x8D, 0x15, 0x40,  // LDA #$1F; STA $4015
        0xA9, 0xF8, 0x8D, 0x03, 0x40,  // LDA #$F8; STA $4003
        0xA9, 0x00, 0x8D, 0x17, 0x40,  // LDA #$00; STA $4017
        0x58,                          // CLI
        0xE6, 0x11, 0x4C, 0x2D, 0x80,  // loop: INC $11; JMP loop
        0xE6, 0x10, 0xAD, 0x15, 0x40,  // irq: INC $10; LDA $4015
        0x85, 0x12, 0x40,              // STA $12; RTI
        0x40,                          // nmi: RTI
    };
    Bytes rom(32768 - 6);
    for (size_t i = 0; i < rom.size(); ++i) rom[i] = i < prg.size() ? prg[i] : uint8_t(i * 13 + (i >> 8));
    return nromImage(rom, 0x803A, 0x8032);
}

// 32 KiB NROM with interrupts off: a one-byte DMC sample whose IRQ flag stays
// set, pulse 1 reloaded and the five-step sequence restarted (clocking the
// counters) every 256 passes of a loop that stores $4015 in $12.
constexpr uint16_t kAfterFrameWrite = 0x802B;
Bytes flagProgram() {
    Bytes prg = {
        0x78, 0xA2, 0xFF, 0x9A,        // SEI; LDX #$FF; TXS
        0xA9, 0x8F, 0x8D, 0x10, 0x40,  // LDA #$8F; STA $4010: IRQ on, fastest rate
        0xA9, 0x00, 0x8D, 0x13, 0x40,  // LDA #$00; STA $4013: one byte
        0xA9, 0x10, 0x8D, 0x00, 0x40,  // LDA #$10; STA $4000: no halt
        0xA9, 0x11, 0x8D, 0x15, 0x40,  // LDA #$11; STA $4015
        0xAD, 0x15, 0x40, 0x85, 0x12,  // loop: LDA $4015; STA $12
        0xE6, 0x10, 0xD0, 0xF7,        // INC $10; BNE loop
        0xA9, 0x58, 0x8D, 0x03, 0x40,  // LDA #$58; STA $4003
        0xA9, 0x80, 0x8D, 0x17, 0x40,  // LDA #$80; STA $4017: clocks as it starts
        0x4C, 0x18, 0x80,              // JMP loop
    };
    Bytes rom(32768 - 6, 0x40);
    std::copy(prg.begin(), prg.end(), rom.begin());
    return nromImage(rom, 0x8000, 0x8000);
}

// The window lets the CPU run ahead of the APU only as far as nothing can
// tell: a twin caught up after every instruction runs frame for frame the
// same, sound included.
TEST(HardwareApuCatchUp, ATwinCaughtUpAfterEveryInstructionRunsTheSame) {
    for (const Bytes& image : {dmcProgram(), flagProgram()}) {
        auto ahead = hardwareConsole(image);
        auto eager = hardwareConsole(image);
        int windows = 0;
        for (int frame = 0; frame < 30; ++frame) {
            ahead->runFrame();
            const int64_t done = eager->frameCount() + 1;
            while (eager->frameCount() < done) {
                eager->cpu->stepHardware();
                catch_up::afterStepHardware(*eager);
                windows += eager->cpu->aheadUntil > eager->cpu->cycles;
            }
            ASSERT_TRUE(sameSeen(*eager, *ahead)) << "frame " << frame;
        }
        EXPECT_GT(windows, 1000);
    }
}

TEST(HardwareApuSnapshot, RoundTripMidFrameRunsOnTheSame) {
    const Bytes image = dmcProgram();
    auto unit = hardwareConsole(image);
    for (int i = 0; i < 10; ++i) unit->runFrame();
    // The program runs: frame IRQs taken and acknowledged, the DMC fetching.
    EXPECT_GT(unit->cpu->memory[0x10], 5);
    EXPECT_EQ(unit->cpu->memory[0x12] & 0x10, 0x10);
    for (int round = 0; round < 12; ++round) {
        for (int i = 0; i < 700 + 1931 * round; ++i) unit->advance();
        const Bytes snapshot = takeSnapshot(*unit);
        auto copy = console(image);
        restoreSnapshot(*copy, snapshot.data(), snapshot.size());
        ASSERT_EQ(copy->timing(), Timing::Hardware);
        EXPECT_EQ(copy->apu->frameEventAt, unit->apu->frameEventAt);
        EXPECT_EQ(copy->cpu->dmaAt, unit->cpu->dmaAt);
        ASSERT_TRUE(play(*copy, 4) == play(*unit, 4)) << "round " << round;
        // Snapshots of equal machines are equal.
        EXPECT_EQ(takeSnapshot(*copy), takeSnapshot(*unit));
    }
}

// Every field of the hardware timing travels: restored, the console holds
// the same and runs on the same, here with the DMC's IRQ flag up and a
// $4017 write still to take effect.
TEST(HardwareApuSnapshot, PendingFrameWriteAndDmcFlagTravel) {
    const Bytes image = flagProgram();
    auto unit = hardwareConsole(image);
    for (int i = 0; i < 3; ++i) unit->runFrame();
    int pending = 0;
    for (int round = 0; round < 3; ++round) {
        while (unit->cpu->PC != kAfterFrameWrite) unit->advance();
        const Bytes snapshot = takeSnapshot(*unit);
        pending += unit->apu->frameWriteAt != APU::kNoCycle;
        auto copy = console(image);
        restoreSnapshot(*copy, snapshot.data(), snapshot.size());
        const APU& a = *unit->apu;
        const APU& b = *copy->apu;
        EXPECT_TRUE(b.dmcIrq);
        EXPECT_EQ(b.dmcIrq, a.dmcIrq);
        EXPECT_EQ(b.frameIrq, a.frameIrq);
        EXPECT_EQ(b.frameStart, a.frameStart);
        EXPECT_EQ(b.frameStep, a.frameStep);
        EXPECT_EQ(b.frameFiveStep, a.frameFiveStep);
        EXPECT_EQ(b.frameWriteAt, a.frameWriteAt);
        EXPECT_EQ(b.frameWriteValue, a.frameWriteValue);
        EXPECT_EQ(b.frameEventAt, a.frameEventAt);
        EXPECT_NE(a.lengthClockAt, APU::kNoCycle);
        EXPECT_EQ(b.lengthClockAt, a.lengthClockAt);
        EXPECT_EQ(b.lengthClocked, a.lengthClocked);
        EXPECT_EQ(b.dmcNextClock, a.dmcNextClock);
        EXPECT_EQ(copy->cpu->dmaAt, unit->cpu->dmaAt);
        ASSERT_TRUE(play(*copy, 3) == play(*unit, 3)) << "round " << round;
        EXPECT_EQ(unit->cpu->memory[0x12] & 0x81, 0x81);
    }
    EXPECT_EQ(pending, 3);
}

TEST(HardwareApuSnapshot, ImpossibleHardwareFieldsAreRefused) {
    auto unit = hardwareConsole(dmcProgram());
    for (int i = 0; i < 5; ++i) unit->runFrame();
    for (int i = 0; i < 1234; ++i) unit->advance();
    const Bytes good = takeSnapshot(*unit);
    const int64_t now = unit->cpu->cycles;
    const auto changed = [&](const std::string& name, int64_t value) { return withField(*unit, good, name, value); };
    const std::pair<const char*, int64_t> bad[] = {
        {"frame sequence step", 6},
        {"frame sequence start", now + 40000},
        {"frame sequence start", now - 40000},
        {"pending $4017 write", now - 3},
        {"pending $4017 write", now + 9},
        {"counters clocked", 16},
        {"DMC next clock", (now + 1) / 2 - 1},
        {"DMC next clock", (now + 1) / 2 + 215},
        {"DMC bits remaining", 0},
    };
    for (const auto& [name, value] : bad) {
        const Bytes data = changed(name, value);
        auto fresh = hardwareConsole(dmcProgram());
        EXPECT_THROW(restoreSnapshot(*fresh, data.data(), data.size()), SnapshotError) << name << " " << value;
    }
    // The frame counter's step must lie ahead: the start moved back by a
    // whole step's length puts it behind.
    const Bytes behind = changed("frame sequence start", now - 37282);
    auto fresh = hardwareConsole(dmcProgram());
    EXPECT_THROW(restoreSnapshot(*fresh, behind.data(), behind.size()), SnapshotError);
    EXPECT_NO_THROW(restoreSnapshot(*fresh, good.data(), good.size()));
}

TEST(HardwareApuTiming, SwitchingTimingsKeepsTheSequenceAndDmcRunning) {
    const Bytes image = dmcProgram();
    auto unit = console(image);
    for (int i = 0; i < 6; ++i) unit->runFrame();
    for (int i = 0; i < 555; ++i) unit->advance();
    unit->setTiming(Timing::Hardware);
    APU& a = *unit->apu;
    const int64_t now = unit->cpu->cycles;
    EXPECT_GE(a.frameEventAt, now);
    EXPECT_LE(a.frameEventAt, now + 29830);
    EXPECT_GE(a.dmcNextClock, a.apuCycles);
    EXPECT_FALSE(a.frameIrq);
    const uint8_t irqs = unit->cpu->memory[0x10];
    for (int i = 0; i < 6; ++i) unit->runFrame();
    EXPECT_GE(uint8_t(unit->cpu->memory[0x10] - irqs), 5);
    unit->setTiming(Timing::Design);
    EXPECT_EQ(a.frameEventAt, APU::kNoCycle);
    EXPECT_LT(a.dmcTimer, APU::dmcRates[a.dmcFlags & 15] / 2);
    for (int i = 0; i < 6; ++i) unit->runFrame();
    // The design takes no frame IRQ.
    const uint8_t later = unit->cpu->memory[0x10];
    for (int i = 0; i < 3; ++i) unit->runFrame();
    EXPECT_EQ(unit->cpu->memory[0x10], later);
}

}  // namespace
