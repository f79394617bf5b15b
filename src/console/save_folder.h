// Where a game's battery RAM file lives on the host (save_folder.cpp).
#pragma once

#include <string>

// The folder name a ROM's name gives: its file name without the extension,
// spaces as underscores.
std::string gameNameFor(const std::string& romName);
// Returns the save folder for a game (created when missing), or "" when the
// platform defines no location (after printing the loader's message).
std::string createSaveFolder(const std::string& romName, std::string* gameNameOut = nullptr);
