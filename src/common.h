// Types shared by every component of the emulator core.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class CPU;
class PPU;
class APU;
class Cartridge;

// Branch hints for the hot paths.
#define VELKORA_LIKELY(x) __builtin_expect(!!(x), 1)
#define VELKORA_UNLIKELY(x) __builtin_expect(!!(x), 0)

// What every mapper operation receives: non-owning links, in this order.
struct BusContext {
    CPU* cpu = nullptr;
    PPU* ppu = nullptr;
    APU* apu = nullptr;
};

// The console's timing model: the default one, or the hardware's (register
// accesses at their own cycles, DMA and interrupt entry taking time, ...).
enum class Timing : uint8_t { Design = 0, Hardware = 1 };

// Nametable mirroring modes shared by the header, the PPU and the boards.
enum Mirroring : int32_t {
    Horizontal = 0,
    Vertical = 1,
    FourScreen = 2,
    SingleScreen = 3,
};

// Eight joypad button bytes (0 released, 1 pressed), in the order the game
// reads them: A, B, Select, Start, Up, Down, Left, Right. Python threads write
// them while the run thread reads them, so each byte is stored whole.
using Buttons = std::array<std::atomic<uint8_t>, 8>;

// A signed 64-bit counter that the stepping thread owns and other threads may
// read at any time. Relaxed loads and stores compile to plain moves, so the
// hot paths pay nothing for the freedom from tearing.
class RelaxedCounter {
public:
    RelaxedCounter(int64_t v = 0) : value_(v) {}
    RelaxedCounter(const RelaxedCounter&) = delete;
    RelaxedCounter& operator=(const RelaxedCounter&) = delete;
    RelaxedCounter& operator=(int64_t v) {
        value_.store(v, std::memory_order_relaxed);
        return *this;
    }
    operator int64_t() const { return value_.load(std::memory_order_relaxed); }
    RelaxedCounter& operator+=(int64_t d) {
        value_.store(value_.load(std::memory_order_relaxed) + d, std::memory_order_relaxed);
        return *this;
    }
    RelaxedCounter& operator++() { return *this += 1; }

private:
    std::atomic<int64_t> value_;
};
