// Heap allocations per frame in steady state, counted by replacing the
// global operator new: every ROM runs warm-up frames, then counted frames of
// runFrame plus an audio block handover (what getImg and getAudio need from
// the core each frame).
//
//     alloc_bench [--warmup N] [--frames N] [ROM ...]
//
// Without ROM arguments it runs every .nes file in ../shared/roms/demos
// (relative to the repository root, the working directory of `make bench`).
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "console/nes_unit.h"

namespace {

std::atomic<uint64_t> allocations{0};

void* counted(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void* countedAligned(std::size_t size, std::align_val_t align) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = std::max(std::size_t(align), sizeof(void*));
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t align) { return countedAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return countedAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    int warmup = 60, frames = 600;
    std::vector<std::string> roms;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--warmup") && i + 1 < argc) {
            warmup = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else {
            roms.emplace_back(argv[i]);
        }
    }
    if (roms.empty()) {
        const std::filesystem::path demos = "../shared/roms/demos";
        if (std::filesystem::is_directory(demos)) {
            for (const auto& entry : std::filesystem::directory_iterator(demos)) {
                if (entry.path().extension() == ".nes") roms.push_back(entry.path().string());
            }
        }
        std::sort(roms.begin(), roms.end());
    }
    if (roms.empty()) {
        std::fprintf(stderr, "no ROMs given and ../shared/roms/demos holds none\n");
        return 1;
    }

    // Construction allocates, which shows the counter is live.
    std::printf("%-22s %12s %12s %12s %14s\n", "ROM", "setup allocs", "warm-up", "counted", "allocs/frame");
    bool clean = true;
    std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> block;
    for (const std::string& rom : roms) {
        // The loader's lines go to stdout; keep the table readable.
        std::fflush(stdout);
        const uint64_t start = allocations.load();
        const int saved = dup(1);
        std::freopen("/dev/null", "w", stdout);
        NESUnit unit(rom, NESUnit::kDefaultClock);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        const uint64_t setup = allocations.load() - start;
        for (int i = 0; i < warmup; ++i) {
            unit.runFrame();
            unit.apu->takeBlock(block);
        }
        const uint64_t before = allocations.load();
        for (int i = 0; i < frames; ++i) {
            unit.runFrame();
            unit.apu->takeBlock(block);
        }
        const uint64_t counted = allocations.load() - before;
        clean = clean && counted == 0;
        std::printf("%-22s %12llu %12d %12d %14.3f\n", std::filesystem::path(rom).filename().c_str(),
                    static_cast<unsigned long long>(setup), warmup, frames, double(counted) / frames);
    }
    return clean ? 0 : 2;
}
