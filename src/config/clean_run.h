// "/clean": the end of an application's updater. It removes the downloaded installers, the local
// updates file, the downloads folder and the registry state of the application, but only when no
// other updater copy of the same application still exists, and never an installer that is locked
// for an installation.
#pragma once

#include <string>
#include <vector>

#include "config/app_settings.h"
#include "core/result_codes.h"

namespace updater {

// What the clean-up would delete: files first, then folders (removed only when empty).
struct CleanUpItems {
  std::vector<std::wstring> files;
  std::vector<std::wstring> folders;
};

// True when fewer than two recorded updater copies of the application still exist.
bool CanRunClean(const SettingsStore& store);
// The cached message resources, the unlocked downloaded installers with their part files and
// folders, the local updates file and the downloads folder.
CleanUpItems CollectCleanUpItems(const AppSettings& settings);
// The clean-up; deletion failures are logged and skipped, the result is always 0.
Result RunClean(AppSettings& settings, bool silent);

}  // namespace updater
