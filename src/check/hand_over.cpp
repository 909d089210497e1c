#include "check/hand_over.h"

#include <windows.h>

#include <set>

#include "base/paths.h"
#include "catalogue/selection.h"
#include "config/temp_updater_copy.h"
#include "transfer/credential_protection.h"

namespace updater {

void NarrowToCriticalUpdates(UpdateCatalogue& catalogue) {
  std::set<const UpdateRecord*> kept;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    if (!record.selected || !record.HasFlag(kUpdateCritical)) continue;
    kept.insert(&record);
    for (const UpdateRecord* dependency : DependencyChain(record))
      if (dependency->selected) kept.insert(dependency);
  }
  for (size_t i = 0; i < catalogue.Count(); ++i) catalogue.At(i).selected = kept.count(&catalogue.At(i)) != 0;
}

Result HandOverToTemporaryCopy(const AppSettings& settings, RunMode mode, UpdateCatalogue& catalogue,
                               const InstanceGuard& checkGuard) {
  if (mode == RunMode::Silent && !checkGuard.IsFirst()) {
    checkGuard.ActivateRunningInstance(false);
    return kOk;
  }
  // A critical-only check hands over the critical updates with what they depend on: the saved
  // selection must hold the dependencies, or the copy could not install them first.
  if (mode == RunMode::SilentCritical) NarrowToCriticalUpdates(catalogue);
  bool anySelected = false;
  for (size_t i = 0; i < catalogue.Count(); ++i) anySelected = anySelected || catalogue.At(i).selected;
  if (!anySelected) return kOk;

  TempUpdaterCopy copy(ExecutablePath());
  Result prepared = copy.Prepare(true);
  if (prepared != kOk) return prepared;
  copy.WriteSetting(L"ClientConfigPath", settings.clientConfigPath);

  std::wstring selection = copy.SiblingPath(L".dat");
  ::DeleteFileW(selection.c_str());
  Result written = WriteSelection(catalogue, selection, false);
  if (written != kOk) return written;
  copy.AddFileToDelete(selection);
  copy.WriteSetting(L"ServerConfigPath", selection);

  if (settings.justDownload) copy.WriteSetting(L"JustDownloadUpdates", L"true");
  if (settings.startMinimized) copy.WriteSetting(L"StartMinimized", L"true");
  copy.WriteSetting(L"URL", settings.urls.empty() ? std::wstring() : settings.urls.front());
  copy.WriteSetting(L"restartapp", settings.restartApp);
  copy.WriteSetting(L"restartappcmd", settings.restartAppCmd);
  if (settings.startAppFirst) copy.WriteSetting(L"startappfirst", L"true");
  if (settings.noGui) copy.WriteSetting(L"NoGUI", L"true");
  if (settings.reducedGui) copy.WriteSetting(L"ReducedGUI", L"true");
  if (settings.forceMsiBasicUi) copy.WriteSetting(L"ForceMSIBasicUI", L"true");

  std::wstring credentials;
  if (!settings.userName.empty())
    credentials = EncodeCredentialsArgument(CredentialPair{settings.userName, settings.password});
  copy.AppendArgument(BuildInstallArguments(mode, copy.SettingsPath(), credentials), false);

  Result batch = copy.WriteBatchFile(TemporaryFolder() + settings.id + L".bat");
  if (batch != kOk) return batch;
  copy.WriteSetting(L"UninstallFilePath", copy.BatchPath());
  return copy.Start(true);
}

}  // namespace updater
