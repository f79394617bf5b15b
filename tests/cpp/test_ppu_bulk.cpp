// The bulk renderer against the dot-by-dot one: runTo, and dots owed and paid
// later, must leave exactly the state that the same number of stepDot calls
// leaves, whatever the CPU does to the PPU between catch-ups.
#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mmc3.h"
#include "cartridge/mappers/mmc5.h"
#include "cartridge/mappers/namco163.h"
#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/state_stream.h"
#include "test_support.h"

namespace {

#define SAME(field) ASSERT_EQ(bulk.field, reference.field) << #field " differs " << where
#define SAME_EACH(field, n) \
    for (int i = 0; i < n; ++i) ASSERT_EQ(bulk.field[i], reference.field[i]) << #field << i << " differs " << where

// Every PPU field the renderer touches, plus the PPUSTATUS byte. The picture
// buffers are compared separately (they are large).
void expectSameState(PPU& bulk, PPU& reference, const std::string& where) {
    bulk.payOwedDots();
    bulk.bringSpritesUpToDate();
    SAME(scanline);
    SAME(cycle);
    SAME(totalDots);
    SAME(frameCount);
    SAME(v);
    SAME(t);
    SAME(oamAddr);
    SAME(vblank);
    SAME(nmiOccurred);
    SAME(suppressVblank);
    SAME(suppressNmi);
    // The hardware's evaluation runs behind the renderer until something
    // looks (PPUSTATUS, OAMDATA, dot 257): its state and the overflow flag
    // are compared where they show, in the pictures.
    const bool behind = bulk.hardware && bulk.scanline < 240 && bulk.cycle > 1 && bulk.cycle <= 257;
    const uint8_t flags = behind ? 0xC0 : 0xE0;
    ASSERT_EQ(*bulk.ppuStatus & flags, *reference.ppuStatus & flags) << "PPUSTATUS differs " << where;
    SAME(renderingEnabled);
    SAME(postRender);
    SAME(ntAddress);
    SAME(atAddress);
    SAME(patternLow);
    SAME(patternHigh);
    SAME(tileDot);
    if (!bulk.hardware) {
        SAME(evalIndex);
        SAME(evalByte);
        SAME(evalDone);
        SAME(evalCount);
        SAME(spriteZeroNext);
        SAME_EACH(secondaryOam, 32);
        SAME_EACH(nextSpriteX, 8);
    }
    SAME(lineSpriteCount);
    SAME(activeMask);
    SAME(spriteZeroLine);
    SAME_EACH(lineSprites, 32);
    SAME_EACH(spriteX, 8);
    SAME_EACH(spriteColumn, 8);
}

void expectSamePicture(const PPU& bulk, const PPU& reference, const std::string& where) {
    SAME(colorIndexCache);
    SAME(displayColorIndex);
    SAME(displayFrame);
}

// A CPU, APU and PPU, optionally with a board that has a per-dot hook: MMC3
// (acts once per line), mapper 40 (counts every dot), MMC5 (a hook at each
// line's start, the background's tiles from ExRAM, fill, split and its own
// CHR sets) or the Namco 163 (a counter whose hook moves to its dot, CHR ROM
// nametables); the test plays the CPU (and, for direct pokes, the bus and
// the boards).
enum class Board { None, Mmc3, Ntdec, Mmc5, Namco163 };
struct Rig : Machine {
    NES::MMC3* mmc3 = nullptr;
    NES::Mapper* ntdec = nullptr;
    NES::MMC5* mmc5 = nullptr;
    NES::Namco163* namco = nullptr;
    explicit Rig(Board board) {
        if (board == Board::Mmc5 || board == Board::Namco163) {
            insert(cartImage(board == Board::Mmc5 ? 5 : 19, randomBytes(32768, 5), randomBytes(131072, 6)));
            mmc5 = dynamic_cast<NES::MMC5*>(cart->mapper.get());
            namco = dynamic_cast<NES::Namco163*>(cart->mapper.get());
        } else if (board == Board::Mmc3) {
            auto mapper = std::make_unique<NES::MMC3>();
            mmc3 = mapper.get();
            mmc3->irqLatch = 20;  // an IRQ every 21 counted lines
            useBoard(std::move(mapper));
        } else if (board == Board::Ntdec) {
            auto mapper = NES::createMapper(40);
            ntdec = mapper.get();
            useBoard(std::move(mapper));
        }
    }
    int32_t boardCounter() const {
        if (mmc5) return mmc5->irq.lineCounter | mmc5->irq.inFrame << 8;
        if (namco) return namco->irqCounter;
        if (ntdec) {
            // Its timer, the first field of its registers.
            std::vector<uint8_t> registers;
            StateStream out(registers, 0);
            ntdec->serialize(out);
            return registers[0] | registers[1] << 8;
        }
        return mmc3 ? mmc3->irqCounter : 0;
    }
    void write(uint16_t address, uint8_t value) {
        ppuWrite(address, value);
        // The MMC5 watches PPUCTRL and PPUMASK on the bus.
        if (mmc5 && address <= 0x2001) boardWrite(address, value);
    }
    // A board register written as the bus writes it, at the PPU's time.
    void boardWrite(uint16_t address, uint8_t value) {
        ppu->payOwedDots();
        cpu->cycles = cpu->stepStart = ppu->totalDots / 3;
        BusContext ctx = context();
        cart->mapper->cpuWrite(ctx, address, value);
        if (address >= 0x4020 && address < 0x8000) cpu->memory[address] = value;
    }
    // A register the board has, with a value that makes it do something.
    std::pair<uint16_t, uint8_t> boardRegister(uint32_t pick, uint8_t value) const {
        if (mmc5) {
            static constexpr uint16_t kRegisters[] = {0x5101, 0x5104, 0x5105, 0x5106, 0x5107, 0x5120, 0x5123,
                                                      0x5127, 0x5128, 0x512B, 0x5130, 0x5200, 0x5201, 0x5202,
                                                      0x5203, 0x5204, 0x5C00, 0x5D23, 0x5FC5};
            const uint16_t address = kRegisters[pick % std::size(kRegisters)];
            if (address == 0x5203) return {address, uint8_t(1 + value % 239)};
            if (address == 0x5204) return {address, 0x80};
            return {address, value};
        }
        static constexpr uint16_t kRegisters[] = {0x5000, 0x5800, 0x8000, 0xA800, 0xC000, 0xC800, 0xD000, 0xD800};
        const uint16_t address = kRegisters[pick % std::size(kRegisters)];
        if (address == 0x5800) return {address, uint8_t(0x80 | (0x7F - value % 4))};  // due within a few lines
        return {address, value};
    }
};

// What the CPU can do to the PPU between two catch-ups.
enum class Poke { Register, Status, Data, Vram, Oam, Mirroring, Board, Count };

// Random pictures, sprites and register traffic at random points of the
// frame, including mid-line changes of scroll, masks and sprite size. The
// bulk rig catches up with runTo, or, when `lazy`, owes its dots and pays
// them only when an event or an access needs them; the reference steps dots.
void compareUnderRandomTraffic(uint32_t seed, bool lazy, Board board, bool hardware = false) {
    const std::string run = "seed " + std::to_string(seed) + (lazy ? " lazy" : "") + " board " +
                            std::to_string(int(board)) + (hardware ? " hardware" : "");
    std::mt19937 rng(seed);
    auto below = [&](uint32_t n) { return uint32_t(rng() % n); };
    Rig bulk(board);
    Rig reference(board);
    for (Rig* rig : {&bulk, &reference}) {
        rig->ppu->hardware = hardware;
        rig->ppu->clearHardwareState();
    }
    // Same random contents in both; OAM Y mostly on visible lines.
    Bytes vram(16384), oam(256);
    for (auto& b : vram) b = uint8_t(rng());
    for (size_t i = 0; i < 256; ++i) oam[i] = uint8_t(i % 4 == 0 && below(4) != 0 ? below(240) : rng());
    if (seed % 2 == 0) {
        // Clustered sprites: lines with more than eight, for the overflow scan.
        for (size_t i = 0; i < 256; i += 4) oam[i] = uint8_t(100 + below(12));
    }
    for (Rig* rig : {&bulk, &reference}) {
        std::copy(vram.begin(), vram.end(), rig->ppu->vram.begin());
        std::copy(oam.begin(), oam.end(), rig->ppu->oam.begin());
        TestAccess::mirroring(*rig->ppu) = int32_t(seed % 4);
    }
    int interrupts = 0;
    int stepsOwing = 0;
    for (int step = 0; step < 6000; ++step) {
        // Mostly instruction-sized catch-ups, sometimes long ones.
        const int64_t dots = below(8) == 0 ? 1 + below(3000) : 1 + below(24);
        const int64_t target = reference.ppu->totalDots + dots;
        if (lazy) {
            bulk.ppu->oweDotsTo(target);
            while (bulk.ppu->owedDotsReachEvent()) bulk.ppu->payOwedDotsToFrameEnd();
        } else {
            while (bulk.ppu->totalDots < target) bulk.ppu->runTo(target);
        }
        while (reference.ppu->totalDots < target) reference.ppu->stepDot();
        const std::string where = run + " step " + std::to_string(step) + " at " +
                                  std::to_string(reference.ppu->scanline) + "/" + std::to_string(reference.ppu->cycle);
        // What the CPU samples between instructions is never owed.
        ASSERT_EQ(int64_t(bulk.ppu->totalDots), target) << where;
        ASSERT_EQ(int64_t(bulk.ppu->frameCount), int64_t(reference.ppu->frameCount)) << where;
        ASSERT_EQ(bulk.ppu->nmiOccurred, reference.ppu->nmiOccurred) << where;
        ASSERT_EQ(bulk.cpu->irqPending, reference.cpu->irqPending) << where;
        ASSERT_EQ(bulk.boardCounter(), reference.boardCounter()) << where;
        interrupts += reference.cpu->irqPending ? 1 : 0;
        bulk.cpu->irqPending = reference.cpu->irqPending = false;  // taken
        stepsOwing += bulk.ppu->owedDots > 0 ? 1 : 0;
        // Lazily, compare now and then only, so that dots stay owed across steps.
        if (!lazy || step % 16 == 0) {
            expectSameState(*bulk.ppu, *reference.ppu, where);
            if (::testing::Test::HasFatalFailure()) return;
            ASSERT_EQ(bulk.ppu->colorIndexCache, reference.ppu->colorIndexCache) << where;
            if (step % 256 == 0) expectSamePicture(*bulk.ppu, *reference.ppu, where);
            if (::testing::Test::HasFatalFailure()) return;
        }

        const Poke poke = Poke(below(unsigned(Poke::Count) + 4) % unsigned(Poke::Count));
        const uint8_t value = uint8_t(rng());
        // Rendering stays on most of the time, with every mask bit varied.
        const uint8_t mask = uint8_t(below(6) == 0 ? value & 0x07 : value | 0x08);
        const uint16_t reg = uint16_t(0x2000 + below(8));
        const uint16_t address = uint16_t(below(16384));
        const uint8_t oamIndex = uint8_t(below(256));
        const int32_t mirroring = int32_t(below(5));
        const uint32_t pick = below(64);
        for (Rig* rig : {&bulk, &reference}) {
            // Register accesses catch up by themselves; the bus and the boards
            // pay the owed dots before they change PPU memory behind its back.
            if (poke >= Poke::Vram) rig->ppu->payOwedDots();
            switch (poke) {
                case Poke::Register:
                    rig->write(reg, reg == 0x2001 ? mask : reg == 0x2000 ? uint8_t(value & 0x7F) : value);
                    break;
                case Poke::Status: rig->ppu->readRegister(0x2002); break;
                case Poke::Data: rig->ppu->readRegister(0x2007); break;
                case Poke::Vram: rig->ppu->vram[address] = value; break;
                case Poke::Oam:
                    // As OAM DMA writes it.
                    rig->ppu->bringEvaluationUpToDate();
                    rig->ppu->oam[oamIndex] = value;
                    rig->ppu->oamWritten();
                    break;
                case Poke::Mirroring:
                    // The boards that lay out the nametables themselves keep their layout.
                    if (!rig->mmc5 && !rig->namco) TestAccess::mirroring(*rig->ppu) = mirroring;
                    break;
                case Poke::Board:
                    if (rig->mmc5 || rig->namco) {
                        const auto [boardAddress, boardValue] = rig->boardRegister(pick, value);
                        rig->boardWrite(boardAddress, boardValue);
                    }
                    break;
                case Poke::Count: break;
            }
        }
    }
    bulk.ppu->payOwedDots();
    expectSamePicture(*bulk.ppu, *reference.ppu, run + " end");
    // The runs reach what they are meant to: the board's interrupts, and owed
    // dots that outlive their step.
    if (board != Board::None) {
        EXPECT_GT(interrupts, 10) << run;
    }
    // Dots wait unless the board must see every one of them.
    if (lazy && board != Board::Ntdec && board != Board::Namco163) {
        EXPECT_GT(stepsOwing, 3000) << run;
    }
}

}  // namespace

// The bulk renderer catching up with runTo, or owing its dots (lazy), in
// both timings and with the boards that watch the PPU: the boards that
// supply the background's tiles or move their hook, and in the hardware
// timing, which evaluates sprites behind the renderer, mid-line changes of
// the sprite height and of rendering that must find it where the dot-by-dot
// evaluation stands.
TEST(BulkRenderer, MatchesStepDotUnderRandomRegisterTraffic) {
    const Board none = Board::None, mmc3 = Board::Mmc3, ntdec = Board::Ntdec, mmc5 = Board::Mmc5,
                namco = Board::Namco163;
    for (const auto& [seed, lazy, board, hardware] : std::initializer_list<std::tuple<uint32_t, bool, Board, bool>>{
             {1, false, none, false},  {2, false, none, false},  {3, false, none, false},   {4, false, none, false},
             {5, false, mmc3, false},  {6, false, ntdec, false}, {7, true, none, false},    {8, true, none, false},
             {9, true, none, false},   {10, true, none, false},  {11, true, mmc3, false},   {12, true, ntdec, false},
             {13, false, mmc5, false}, {14, true, mmc5, false},  {15, false, namco, false}, {16, true, namco, false},
             {17, false, none, true},  {18, true, none, true},   {19, false, none, true},   {20, true, namco, true}}) {
        compareUnderRandomTraffic(seed, lazy, board, hardware);
        if (HasFatalFailure()) return;
    }
}

// The machine as the console drives it: the real programs of the shared demo
// ROMs (NROM, UxROM, CNROM, MMC1 and MMC3 with its per-line hook), one console
// through advance, in whichever catch-up mode the console uses, its twin
// through the per-dot loop. The ahead window and owed dots may keep the PPU
// behind between instructions, so its state is compared after every step
// only when it is caught up, and always at the end of a frame.
TEST(BulkRenderer, MatchesStepDotOnTheDemoRoms) {
    const std::string dir = std::string(VELKORA_ROMS_DIR) + "/demos/";
    const char* names[] = {"240pee.nes",     "bladebuster.nes", "high-hopes.nes",  "nes15.nes",
                           "spritecans.nes", "tanespot.nes",    "years-behind.nes"};
    int tested = 0;
    for (const char* name : names) {
        const Bytes image = readFile(dir + name);
        if (image.empty()) continue;
        NESUnit bulk(name, image, NESUnit::kDefaultClock);
        NESUnit reference(name, image, NESUnit::kDefaultClock);
        ++tested;
        for (int frame = 0; frame < 40; ++frame) {
            const std::string where = std::string(name) + " frame " + std::to_string(frame);
            const int64_t start = reference.frameCount();
            while (reference.frameCount() == start) {
                bulk.advance();
                // The bulk console may count idle loop passes at once: the
                // reference runs them one by one.
                int64_t cycles = 0;
                do cycles = stepOneByOne(reference);
                while (cycles < bulk.cpu->cycles && reference.frameCount() == start);
                ASSERT_EQ(bulk.cpu->cycles, cycles) << where;
                ASSERT_EQ(bulk.cpu->PC, reference.cpu->PC) << where;
                ASSERT_EQ(bulk.cpu->A, reference.cpu->A) << where;
                ASSERT_EQ(bulk.cpu->P, reference.cpu->P) << where;
                ASSERT_EQ(bulk.cpu->irqPending, reference.cpu->irqPending) << where;
                ASSERT_EQ(bulk.ppu->nmiOccurred, reference.ppu->nmiOccurred) << where;
                if (bulk.ppu->totalDots != reference.ppu->totalDots) {
                    ASSERT_LE(cycles, bulk.cpu->aheadUntil) << where;
                } else if (bulk.ppu->owedDots == 0) {
                    expectSameState(*bulk.ppu, *reference.ppu, where);
                }
                if (HasFatalFailure()) return;
            }
            ASSERT_EQ(bulk.ppu->owedDots, 0) << where;
            expectSameState(*bulk.ppu, *reference.ppu, where);
            expectSamePicture(*bulk.ppu, *reference.ppu, where);
            ASSERT_TRUE(
                std::equal(bulk.cpu->memory.begin(), bulk.cpu->memory.begin() + 0x800, reference.cpu->memory.begin()))
                << "RAM " << where;
            if (HasFatalFailure()) return;
        }
    }
    if (tested == 0) GTEST_SKIP() << "shared demo ROMs not found in " << dir;
}
