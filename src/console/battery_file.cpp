// The console's battery RAM file: read when the cartridge is linked, written
// on request, in the save folder the console was given.
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/nes_unit.h"

void NESUnit::loadBatteryRam() {
    // With no save folder there is no RAM file to read (it would be /ram).
    if (!cartridge->hasBattery || saveFolder.empty()) return;
    const std::string path = saveFolder + "/ram";
    std::printf("load RAM file: %s\n", path.c_str());
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::printf("RAM file exists: %i\n", f ? 1 : 0);
    std::fflush(stdout);
    if (f) {
        (void)std::fread(&cpu->memory[0x6000], 1, 0x2000, f);
        std::fclose(f);
    }
}

void NESUnit::storeBatteryRam() {
    if (!cartridge->hasBattery || saveFolder.empty()) return;
    const std::string path = saveFolder + "/ram";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw FileError(errno, path, "cannot write battery RAM file " + path + ": " + std::strerror(errno));
    const size_t written = std::fwrite(&cpu->memory[0x6000], 1, 0x2000, f);
    const int closeResult = std::fclose(f);
    if (written != 0x2000 || closeResult != 0) {
        throw FileError(errno ? errno : EIO, path, "cannot write battery RAM file " + path);
    }
}

bool NESUnit::setSaveDir(const std::string& path) {
    // Text after a NUL would be dropped by the C library: such a path names nothing.
    if (path.find('\0') != std::string::npos) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    saveDir = path;
    return true;
}
