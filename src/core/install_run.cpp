#include "core/install_run.h"

#include "catalogue/selection.h"
#include "config/catalogue_wiring.h"
#include "core/logger.h"
#include "core/module_path.h"
#include "install/installer.h"
#include "transfer/credentials.h"
#include "transfer/download_phase.h"
#include "ui/wizard.h"

namespace updater {
namespace {

// How many selected updates the run would take, and how many of them still need a download.
struct SelectionCount {
  unsigned selected = 0;
  unsigned toDownload = 0;
};

SelectionCount CountSelected(const UpdateCatalogue& catalogue, bool criticalOnly, const SettingsStore& store) {
  SelectionCount count;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    if (!record.selected || (criticalOnly && !record.HasFlag(kUpdateCritical))) continue;
    ++count.selected;
    if (GetDownloadState(record, store) == kDownloadStateNeeded) ++count.toDownload;
  }
  return count;
}

// Takes the saved selection (all of it, or the critical updates and their dependencies) for the
// download and installation phase.
ProcessingCounts TakeSelection(AppSettings& settings, UpdateCatalogue& catalogue, bool criticalOnly) {
  const SettingsStore& store = settings.Store();
  SelectionContext context = MachineSelectionContext(settings.applicationName, settings.applicationVersion);
  context.downloadState = [&store](const UpdateRecord& record) { return GetDownloadState(record, store); };
  ProcessingCounts taken = MarkForProcessing(catalogue, criticalOnly, context);
  SelectProcessedUpdates(catalogue);
  LogFormat(kLogInfo, L"Updates taken: %u, to download: %u.", taken.taken, taken.toDownload);
  return taken;
}

// Downloads, verifies and installs the selected updates, reporting to `observer` (may be null); the
// first failure (the download phase's before the installation's) is the result.
Result DownloadAndInstall(AppSettings& settings, UpdateCatalogue& catalogue, DownloadObserver* observer,
                          ServerCredentials& credentials) {
  Result downloaded = DownloadSelectedUpdates(catalogue, observer, &credentials, settings);
  if (downloaded == E_UPD_CANCELED || settings.justDownload) return downloaded;
  Result installed = InstallSelectedUpdates(catalogue, observer, settings.Store(), InstallPhaseSettingsOf(settings));
  return downloaded != kOk ? downloaded : installed;
}

void LoadCredentials(const AppSettings& settings, ServerCredentials& credentials) {
  credentials.LoadAtStart();
  if (!settings.userName.empty()) credentials.AddPair(CredentialPair{settings.userName, settings.password});
}

Result InstallWithoutWindow(AppSettings& settings, UpdateCatalogue& catalogue, bool criticalOnly) {
  ProcessingCounts taken = TakeSelection(settings, catalogue, criticalOnly);
  if (taken.taken == 0 || (settings.justDownload && taken.toDownload == 0)) return kOk;
  ServerCredentials credentials(HKEY_CURRENT_USER, settings.id);
  LoadCredentials(settings, credentials);
  return DownloadAndInstall(settings, catalogue, nullptr, credentials);
}

Result InstallWithWizard(RunContext& run, UpdateCatalogue& catalogue, RunMode mode) {
  AppSettings& settings = run.settings;
  ProcessingCounts taken = TakeSelection(settings, catalogue, mode == RunMode::InstallSilentCritical);
  if (taken.taken == 0 || (settings.justDownload && taken.toDownload == 0)) return kOk;
  ServerCredentials credentials(HKEY_CURRENT_USER, settings.id);
  LoadCredentials(settings, credentials);
  const SettingsStore& store = settings.Store();
  WizardContext wizard{settings, catalogue, mode, {}, {}};
  wizard.work = [&](DownloadObserver& observer) { return DownloadAndInstall(settings, catalogue, &observer, credentials); };
  wizard.isDownloaded = [&store](const UpdateRecord& record) {
    return GetDownloadState(record, store) == kDownloadStateDownloaded;
  };
  Result result = RunWizard(wizard);
  if (result == static_cast<Result>(-1) && (mode == RunMode::InstallSilentAll || mode == RunMode::InstallSilentCritical)) {
    // The automatic runs would only have shown their progress: without a window (a session without
    // a desktop, say) they still install.
    Log(kLogInfo, L"Installing without a window.");
    return DownloadAndInstall(settings, catalogue, nullptr, credentials);
  }
  if (wizard.sheetCancelled) run.dialogCancelled = true;
  return result;
}

}  // namespace

RunMode EffectiveInstallMode(RunMode mode, const std::optional<std::uint32_t>& autoUpdatePolicy) {
  if (mode != RunMode::InstallSilent || !autoUpdatePolicy) return mode;
  if (*autoUpdatePolicy == kPolicyAutoAll) return RunMode::InstallSilentAll;
  if (*autoUpdatePolicy == kPolicyAutoCritical) return RunMode::InstallSilentCritical;
  return mode;
}

Result RunInstall(RunContext& run) {
  const RunOptions& options = run.options;
  // The check guard under the parent's path lets the parent see this copy as running.
  run.checkGuard.Acquire(options.realUpdaterPath.empty() ? ExecutablePath() : options.realUpdaterPath);
  if (!run.installGuard.AcquireInstall(options.realUpdaterPath)) {
    run.installGuard.ActivateRunningInstance(options.startMinimized);
    return E_UPD_ALREADY_RUNNING;
  }

  AppSettings& settings = run.settings;
  CatalogueSettings catalogueSettings = CatalogueSettingsFor(settings);
  UpdateCatalogue catalogue(catalogueSettings);
  UpdatesFileReader reader(catalogue, options.serverConfigPath);
  Result loaded = reader.Load(false, false);
  if (loaded != kOk) return loaded;
  LogFormat(kLogInfo, L"The saved selection lists %u updates.", static_cast<unsigned>(catalogue.Count()));

  RunMode mode = EffectiveInstallMode(
      run.mode, settings.Store().ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy));
  bool criticalOnly = mode == RunMode::InstallSilentCritical;
  if (mode == RunMode::InstallSilentAll || mode == RunMode::InstallSilentCritical) {
    SelectionCount count = CountSelected(catalogue, criticalOnly, settings.Store());
    if (count.selected == 0 || (settings.justDownload && count.toDownload == 0)) return kOk;
  }
  if (settings.noGui) return InstallWithoutWindow(settings, catalogue, criticalOnly);
  if (settings.reducedGui) {
    Log(kLogDebug, L"The reduced progress window is not available in this build; installing without a window.");
    return InstallWithoutWindow(settings, catalogue, criticalOnly);
  }
  return InstallWithWizard(run, catalogue, mode);
}

}  // namespace updater
