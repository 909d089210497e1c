// Paths of the running program.
#pragma once

#include <string>

namespace updater {

// Full path of the running executable; empty when it cannot be read.
std::wstring ExecutablePath();
// The folder part of a path, without the trailing backslash ("" when there is none).
std::wstring FolderOf(const std::wstring& path);

}  // namespace updater
