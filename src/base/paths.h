// Paths of the running program.
#pragma once

#include <string>

namespace updater {

// Full path of the running executable; empty when it cannot be read.
std::wstring ExecutablePath();
// The folder part of a path, without the trailing backslash ("" when there is none).
std::wstring FolderOf(const std::wstring& path);
// The temporary folder of this process (with a trailing backslash): GetTempPath2W where the system
// has it, else "<Windows>\SystemTemp\" for an elevated process, else GetTempPathW.
std::wstring TemporaryFolder();

}  // namespace updater
