// Where a game's battery RAM file lives, and the file itself.
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/nes_unit.h"

std::string gameNameFor(const std::string& romName) {
    size_t begin = 0;
    size_t end = romName.size();
    bool cut = false;
    for (size_t i = romName.size(); i-- > 0;) {
        const char c = romName[i];
        if (c == '/' || c == '\\') {
            begin = i + 1;
            break;
        }
        if (c == '.' && !cut) {
            end = i;
            cut = true;
        }
    }
    std::string name = romName.substr(begin, end - begin);
    for (char& c : name) {
        if (c == ' ') c = '_';
    }
    // A name that would leave the game's own folder gets a fixed one instead.
    if (name.empty() || name == "." || name == "..") name = "unnamed";
    return name;
}

namespace {

bool makeDirectories(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string createSaveFolder(const std::string& romName, std::string* gameNameOut) {
    const std::string name = gameNameFor(romName);
    if (gameNameOut) *gameNameOut = name;
#if defined(__linux__) || defined(__APPLE__) || defined(__unix__)
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else if (home && home[0]) {
        base = std::string(home) + "/.local/share";
    } else {
        return "";
    }
    const std::string folder = base + "/velkora/" + name;
    return makeDirectories(folder) ? folder : "";
#else
    std::printf("OS not detected. No save folder created.\n");
    std::fflush(stdout);
    return "";
#endif
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
