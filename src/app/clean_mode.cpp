#include "app/run_modes.h"

#include <windows.h>

#include "base/logger.h"
#include "base/paths.h"
#include "check/check_run.h"
#include "notify/message_display.h"
#include "ui/small_progress.h"

namespace updater {
namespace {

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsLocked(const SettingsStore& store, const std::wstring& sectionName) {
  std::optional<std::uint32_t> lock = store.ReadNumber(SettingsKey::kUpdateLocks, sectionName);
  return lock && *lock == 1;
}

void AddOnce(std::vector<std::wstring>& list, const std::wstring& item) {
  for (const std::wstring& known : list)
    if (_wcsicmp(known.c_str(), item.c_str()) == 0) return;
  list.push_back(item);
}

// What the clean-up deletes: files first, then the folders (which go only when empty).
struct CleanUpItems {
  std::vector<std::wstring> files;
  std::vector<std::wstring> folders;
};

// The clean-up may run when fewer than two recorded updater copies of the application still exist.
bool CanRunClean(const SettingsStore& store) {
  Log(kLogDebug, L"Test if we can run clean.");
  unsigned valid = 0;
  for (const std::wstring& path : store.ValueNames(SettingsKey::kApplication)) {
    if (!Exists(path)) continue;
    ++valid;
    Log(kLogDebug, L"Found valid client: " + path);
  }
  bool canRun = valid < 2;
  Log(kLogDebug, std::wstring(L"CanRunClean returns: ") + (canRun ? L"true" : L"false"));
  return canRun;
}

// The cached message resources, the unlocked downloaded installers with their part files and folders,
// the local updates file with its signature, and the downloads folder.
CleanUpItems CollectCleanUpItems(const AppSettings& settings) {
  CleanUpItems items;
  const SettingsStore& store = settings.Store();
  for (const std::wstring& name : store.ValueNames(SettingsKey::kMessageResources)) {
    std::optional<std::wstring> path = store.ReadString(SettingsKey::kMessageResources, name);
    if (path && !path->empty() && Exists(*path)) AddOnce(items.files, *path);
  }
  for (const std::wstring& name : store.ValueNames(SettingsKey::kUpdates)) {
    if (IsLocked(store, name)) continue;
    std::optional<std::wstring> installer = store.ReadString(SettingsKey::kUpdates, name);
    if (!installer || installer->empty()) continue;
    if (Exists(*installer)) AddOnce(items.files, *installer);
    if (Exists(*installer + L".part")) AddOnce(items.files, *installer + L".part");
    std::wstring folder = FolderOf(*installer);
    if (!folder.empty()) AddOnce(items.folders, folder);
  }
  if (!settings.urls.empty() && !settings.downloadsFolder.empty()) {
    std::wstring local = LocalUpdatesFilePath(settings.downloadsFolder, settings.urls.front());
    if (Exists(local)) AddOnce(items.files, local);
    // The signature a signed updates file is kept with.
    if (Exists(local + L".p7s")) AddOnce(items.files, local + L".p7s");
  }
  if (!settings.downloadsFolder.empty()) AddOnce(items.folders, settings.downloadsFolder);
  return items;
}

// The clean-up itself; `progress` (may be null) is told each item and may stop it after the
// current one.
Result CleanUp(AppSettings& settings, CleanUpProgress* progress) {
  Log(kLogDebug, L"Cleaning thread started.");
  const SettingsStore& store = settings.Store();
  if (!CanRunClean(store)) return kOk;

  CleanUpItems items = CollectCleanUpItems(settings);
  if (!items.files.empty() || !items.folders.empty()) {
    Log(kLogDebug, L"DoErase started.");
    std::size_t count = items.files.size() + items.folders.size();
    std::size_t index = 0;
    // A cancel from the window stops the clean-up after the current item; the registry state stays.
    auto next = [&](const std::wstring& path) {
      if (!progress) return true;
      if (progress->CancelRequested()) return false;
      progress->Item(path, index++, count);
      return true;
    };
    for (const std::wstring& file : items.files) {
      if (!next(file)) return kOk;
      if (!::DeleteFileW(file.c_str())) LogError(L"Failed to delete file: " + file, ::GetLastError());
    }
    for (const std::wstring& folder : items.folders) {
      if (!next(folder)) return kOk;
      if (Exists(folder) && !::RemoveDirectoryW(folder.c_str()))
        LogError(L"Failed to delete folder: " + folder, ::GetLastError());
    }
    if (progress && progress->CancelRequested()) return kOk;
  }

  if (!settings.id.empty()) {
    store.DeleteKey(SettingsKey::kSettings);
    store.DeleteKey(SettingsKey::kMessageResources);
    store.DeleteKey(SettingsKey::kMessages);
    store.DeleteKey(SettingsKey::kResults);
    UnregisterProtocols();
    for (const std::wstring& name : store.ValueNames(SettingsKey::kUpdates))
      if (!IsLocked(store, name)) store.DeleteValue(SettingsKey::kUpdates, name);
    // A lock value other than 1 locks nothing; left behind it would keep the application key.
    for (const std::wstring& name : store.ValueNames(SettingsKey::kUpdateLocks))
      if (!IsLocked(store, name)) store.DeleteValue(SettingsKey::kUpdateLocks, name);
    // Empty "Updates" and "Locks" keys would keep the application key; keys that still hold locked
    // updates stay, and so does everything above them. (Reading a key of the store creates it, so
    // each one is tested and removed from the bottom up.)
    if (store.ValueNames(SettingsKey::kUpdateLocks).empty()) store.DeleteKeyWithoutSubkeys(SettingsKey::kUpdateLocks);
    if (store.ValueNames(SettingsKey::kUpdates).empty()) store.DeleteKeyWithoutSubkeys(SettingsKey::kUpdates);
    store.DeleteKeyWithoutSubkeys(SettingsKey::kApplication);
    if (store.ValueNames(SettingsKey::kProductRoot).empty()) store.DeleteKeyWithoutSubkeys(SettingsKey::kProductRoot);
  }
  return kOk;
}

}  // namespace

Result RunClean(RunContext& run) {
  AppSettings& settings = run.settings;
  const bool silent = run.options.cleanSilent;
  if (silent) return CleanUp(settings, nullptr);
  std::optional<SmallWindowEnd> ended = RunCleanUpWindow(
      settings.applicationName, [&settings](CleanUpProgress& progress) { return CleanUp(settings, &progress); });
  if (!ended) {
    Log(kLogInfo, L"Cleaning without a window.");
    return CleanUp(settings, nullptr);
  }
  return kOk;
}

}  // namespace updater
