// Where a game's battery RAM file lives on the host: its folder, named
// after the game, under the user's data directory.
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "console/save_folder.h"

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
