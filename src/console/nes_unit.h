// The console: owns and links the components, steps the machine frame by
// frame or from a real-time run thread, and holds the host-side state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apu/apu.h"
#include "cartridge/cartridge.h"
#include "common.h"
#include "console/catch_up.h"
#include "console/controller.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

// A file the console could not open, read or write; carries errno and the path.
class FileError : public std::runtime_error {
public:
    FileError(int error, std::string path, const std::string& what)
        : std::runtime_error(what), error(error), path(std::move(path)) {}
    int error;
    std::string path;
};

class NESUnit {
public:
    static constexpr int32_t kDefaultClock = 1789773;

    // The per-frame callback: a plain function with a context, so the core
    // stays free of any scripting runtime.
    struct Callback {
        void (*call)(void* context) = nullptr;
        void* context = nullptr;
    };

    // --- host state ---
    int64_t startTime = 0;
    Callback perFrameCallback;
    std::atomic<int64_t> pauseStart{0};
    std::string saveDir;
    ControllerWrapper defaultPads[2];

    // --- components (owned) ---
    std::unique_ptr<CPU> cpu;
    std::unique_ptr<PPU> ppu;
    std::unique_ptr<APU> apu;
    std::unique_ptr<Cartridge> cartridge;

    // --- run thread (run_thread.cpp) ---
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};
    std::atomic<int64_t> pausedTotal{0};
    std::thread runThread;
    // True from start until runLoop returns: runFrame and start refuse meanwhile.
    std::atomic<bool> threadActive{false};
    // How many runFrame calls are stepping on the caller's thread (a callback
    // may nest one inside another).
    std::atomic<int> steppingOnCaller{0};
    // Save states hold the run thread between instructions (holdRunThread).
    std::atomic<bool> holdRequested{false};
    std::atomic<bool> holdGranted{false};
    std::mutex holdLock;

    // Directory of this console's battery RAM file; empty when none.
    std::string saveFolder;
    std::string gameName;

    // Construct from the bytes of an image; `romName` names the save folder.
    NESUnit(const std::string& romPath, int32_t clockSpeed);
    NESUnit(const std::string& romName, const std::vector<uint8_t>& image, int32_t clockSpeed);
    explicit NESUnit(int32_t clockSpeed);
    // A console that reads and writes no file (no save folder, no battery
    // RAM) and prints nothing: for consoles built in bulk.
    struct Headless {};
    NESUnit(Headless, const std::vector<uint8_t>& image, int32_t clockSpeed);
    ~NESUnit();
    NESUnit(const NESUnit&) = delete;
    NESUnit& operator=(const NESUnit&) = delete;

    // The machine a new console of this cartridge is, in this console's timing,
    // battery RAM cleared; reads no file and prints nothing (power_on.cpp).
    // The caller has the console to itself, as for a snapshot.
    void powerOn();

    int64_t frameCount() const { return ppu->frameCount; }
    int64_t cycleCount() const { return cpu->cycles; }

    // --- frame stepping (stepping.cpp) ---
    // One instruction, then the catch-up it calls for (catch_up.h).
    void advance() {
        if (cpu->hardware) {
            cpu->stepHardware();
            if (catch_up::dueAfterStep(*cpu)) catch_up::afterStepHardware(*this);
            return;
        }
        cpu->step();
        if (catch_up::dueAfterStep(*cpu)) catch_up::afterStep(*this);
    }
    void runFrame();

    // --- timing model and the reset button (timing.cpp) ---
    Timing timing() const { return cpu->hardware ? Timing::Hardware : Timing::Design; }
    // On a console that has not run since power-on, that timing's power-on
    // state; later the machine is settled as for a snapshot, state only the
    // other timing has is cleared, and the change counts from the next
    // instruction. The caller holds a run thread.
    void setTiming(Timing timing);
    // What the console's reset button does: the CPU's reset sequence, the
    // PPU's and APU's registers as a reset leaves them, memory kept.
    void softReset();
    // Only the units' flags: a restore that brings the timing's state with it.
    void adoptTiming(Timing timing);
    // Cleared by the first instruction after power-on (or a restore).
    bool atPowerOn = true;
    void setPerFrame(Callback callback) { perFrameCallback = callback; }

    // --- run thread (run_thread.cpp) ---
    void start();
    void stop();
    void setPaused(bool p);
    static void runLoop(NESUnit* unit);
    // The thread object is assigned after the thread starts, so the thread
    // names itself here instead.
    std::atomic<std::thread::id> runThreadId{};
    bool onRunThread() const { return runThreadId.load() == std::this_thread::get_id(); }
    // Parks the run thread between instructions until releaseRunThread; a
    // no-op without a run thread or on it. The caller must not hold a lock
    // that the run thread's callback needs.
    void holdRunThread();
    void releaseRunThread();
    // After a restore moved the cycle count away from `cyclesBefore`: a run
    // thread paces on from the restored point instead of racing toward (or
    // waiting for) the old one.
    void rebasePacing(int64_t cyclesBefore);

    // --- joypads ---
    void setController(ControllerWrapper& controller, int port);

    // --- battery RAM and save directory (battery_file.cpp) ---
    // Reads the battery RAM file in saveFolder, when the board has a battery.
    void loadBatteryRam();
    void storeBatteryRam();
    bool setSaveDir(const std::string& path);
    const std::string& getSaveDir() const { return saveDir; }

private:
    void commonStart(int32_t clockSpeed);
    void createComponents(int32_t clockSpeed);
    void wirePads();
    void loadCartridge(const uint8_t* image, size_t size, bool verbose = true);
    // The components around the cartridge loaded, ready at the reset vector.
    void boot(int32_t clockSpeed);
    // Loads an image and boots; a named one (not headless) is verbose and
    // gets its save folder.
    void bootImage(const std::string* romName, const uint8_t* image, size_t size, int32_t clockSpeed);
    void powerOnBoard();
    // The CPU registers and clocks a timing starts with at power-on.
    void powerOnCpu();
    template <bool Hardware>
    void runFrameIn();
};

int64_t wallClockNs();
