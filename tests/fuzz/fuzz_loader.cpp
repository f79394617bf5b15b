// libFuzzer target: arbitrary bytes as a cartridge image, then a short run.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_one.h"

namespace {

std::string dataHome;

// The save folder every accepted image creates ("fuzz"); nothing writes a RAM file.
void removeDataHome() {
    ::rmdir((dataHome + "/velkora/fuzz").c_str());
    ::rmdir((dataHome + "/velkora").c_str());
    ::rmdir(dataHome.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The loader's lines would cost more than the parse itself.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    // Save folders go to a private directory, not the home.
    char folder[] = "/tmp/velkora-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    dataHome = folder;
    ::setenv("XDG_DATA_HOME", folder, 1);
    std::atexit(removeDataHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzcase::run(data, size);
    return 0;
}
