// The core alone running a cartridge's frames, for instruction counts under
// callgrind (bench/callgrind.py --core): no Python, no picture conversion.
//     frames_bench ROM FRAMES [design|hardware] [SKIP]
// SKIP frames run first with callgrind's collection off, so a count can
// cover the frames a long run spends past the title (callgrind
// --instr-atstart=no --collect-atstart=no); the count then holds FRAMES frames only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <valgrind/callgrind.h>

#include "console/nes_unit.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROM FRAMES [design|hardware] [SKIP]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
    const int frames = std::atoi(argv[2]);
    NESUnit unit(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    if (argc > 3 && std::strcmp(argv[3], "hardware") == 0) unit.setTiming(Timing::Hardware);
    const int skip = argc > 4 ? std::atoi(argv[4]) : 0;
    for (int i = 0; i < skip; ++i) unit.runFrame();
    if (argc > 4) {
        CALLGRIND_START_INSTRUMENTATION;
        CALLGRIND_TOGGLE_COLLECT;
    }
    for (int i = 0; i < frames; ++i) unit.runFrame();
    if (argc > 4) CALLGRIND_TOGGLE_COLLECT;
    std::printf("%lld\n", static_cast<long long>(unit.cycleCount()));
    return 0;
}
