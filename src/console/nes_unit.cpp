// Building the console from a cartridge image, and tearing it down.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "console/nes_unit.h"
#include "console/save_folder.h"

namespace {

std::vector<uint8_t> readWholeFile(const std::string& path) {
    // The C library would open the text before a NUL: a different file.
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("ROM path contains a NUL character");
    // Non-blocking, so a FIFO cannot hang the open; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw FileError(errno, path, "cannot open " + path + ": " + std::strerror(errno));
    struct stat st;
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    }
    if (error) {
        ::close(fd);
        throw FileError(error, path,
                        "cannot read " + path + ": " + (error == EINVAL ? "not a regular file" : std::strerror(error)));
    }
    std::vector<uint8_t> data(size_t(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            ::close(fd);
            throw FileError(error, path, "cannot read " + path + ": " + std::strerror(error));
        }
        got += size_t(n);
    }
    ::close(fd);
    return data;
}

}  // namespace

void NESUnit::commonStart(int32_t clockSpeed) {
    // A 1 Hz clock would give the APU a half clock of 0 and a division by zero.
    if (clockSpeed == 1)
        throw std::invalid_argument("CLOCK_SPEED must be at least 2 Hz (or 0 or below for unthrottled)");
    perFrameCallback = Callback{};
    saveDir.clear();
    defaultPads[0].clear();
    defaultPads[1].clear();
    running = false;
    paused = false;
}

void NESUnit::createComponents(int32_t clockSpeed) {
    cpu = std::make_unique<CPU>();
    ppu = std::make_unique<PPU>(cpu.get());
    cpu->clockSpeed = clockSpeed > 0 ? clockSpeed : INT_MAX;
    apu = std::make_unique<APU>();
    cpu->apu = apu.get();
    apu->cpu = cpu.get();
    apu->halfClock = cpu->clockSpeed / 2;
    apu->sampleRate = 44100;
}

void NESUnit::wirePads() {
    defaultPads[0].clear();
    defaultPads[1].clear();
    cpu->joypadPorts[0].store(&defaultPads[0].buttons, std::memory_order_relaxed);
    cpu->joypadPorts[1].store(&defaultPads[1].buttons, std::memory_order_relaxed);
}

void NESUnit::powerOnBoard() {
    BusContext context{cpu.get(), ppu.get(), apu.get()};
    cartridge->mapper->powerOn(context);
}

void NESUnit::loadCartridge(const uint8_t* image, size_t size, bool verbose) {
    cartridge = std::make_unique<Cartridge>();
    cartridge->verbose = verbose;
    cartridge->loadImage(image, size);
    cartridge->validate();
}

void NESUnit::boot(int32_t clockSpeed) {
    createComponents(clockSpeed);
    wirePads();
    mapCartridge(cpu.get(), cartridge.get());
    loadBatteryRam();
    ppu->attachCartridge(cartridge.get());
    powerOnBoard();
    cpu->reset();
}

void NESUnit::bootImage(const std::string* romName, const uint8_t* image, size_t size, int32_t clockSpeed) {
    loadCartridge(image, size, romName != nullptr);
    // Only after the loader took the image, so a refused one creates no save folder.
    if (romName) saveFolder = createSaveFolder(*romName, &gameName);
    boot(clockSpeed);
}

NESUnit::NESUnit(const std::string& romPath, int32_t clockSpeed) {
    commonStart(clockSpeed);
    // Read the file first, so a path that cannot be opened creates no save folder.
    const std::vector<uint8_t> image = readWholeFile(romPath);
    bootImage(&romPath, image.data(), image.size(), clockSpeed);
}

NESUnit::NESUnit(const std::string& romName, const std::vector<uint8_t>& image, int32_t clockSpeed) {
    commonStart(clockSpeed);
    bootImage(&romName, image.data(), image.size(), clockSpeed);
}

NESUnit::NESUnit(Headless, const std::vector<uint8_t>& image, int32_t clockSpeed) {
    commonStart(clockSpeed);
    bootImage(nullptr, image.data(), image.size(), clockSpeed);
}

NESUnit::NESUnit(int32_t clockSpeed) {
    commonStart(clockSpeed);
    std::printf("No rom specified.\n");
    std::fflush(stdout);
    cartridge = std::make_unique<Cartridge>();
    cartridge->loadBlankImage();
    std::printf("rom created.\n");
    std::fflush(stdout);
    boot(clockSpeed);
}

NESUnit::~NESUnit() {
    if (runThread.joinable()) {
        running = false;
        if (onRunThread()) {
            runThread.detach();
        } else {
            runThread.join();
        }
    }
    // Cartridge, CPU, PPU, APU, in that order.
    cartridge.reset();
    cpu.reset();
    ppu.reset();
    apu.reset();
}

void NESUnit::setController(ControllerWrapper& controller, int port) {
    const int p = port & 0xFF;
    if (p != 0 && p != 1) throw std::invalid_argument("port must be 0 or 1 (low 8 bits), got " + std::to_string(port));
    cpu->joypadPorts[p].store(&controller.buttons, std::memory_order_relaxed);
}
