#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "catalogue/selection.h"
#include "install/installer.h"
#include "transfer/catalogue_services.h"
#include "transfer/credentials.h"
#include "transfer/download_phase.h"
#include "ui/credentials_dialog.h"
#include "ui/small_progress.h"
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

// The work of an install run: the selection taken for it, the credentials its downloads may
// offer, and the download, verification and installation.
class InstallWork {
 public:
  InstallWork(AppSettings& settings, UpdateCatalogue& catalogue, bool criticalOnly)
      : settings_(settings), catalogue_(catalogue), credentials_(HKEY_CURRENT_USER, settings.id) {
    ProcessingCounts taken = TakeSelection(settings, catalogue, criticalOnly);
    empty_ = taken.taken == 0 || (settings.justDownload && taken.toDownload == 0);
    credentials_.SetPromptFunction(DialogCredentialsPrompt());
    credentials_.LoadAtStart();
    if (!settings.userName.empty()) credentials_.AddPair(CredentialPair{settings.userName, settings.password});
    const SettingsStore& store = settings.Store();
    isDownloaded = [&store](const UpdateRecord& record) {
      return GetDownloadState(record, store) == kDownloadStateDownloaded;
    };
    work = [this](DownloadObserver& observer) { return Run(&observer); };
  }

  // Nothing to do: no update taken, or a run that only downloads with everything downloaded.
  bool Empty() const { return empty_; }

  // Reports to `observer` (may be null); the first failure (the download phase's before the
  // installation's) is the result.
  Result Run(DownloadObserver* observer) {
    Result downloaded = DownloadSelectedUpdates(catalogue_, observer, &credentials_, settings_);
    if (downloaded == E_UPD_CANCELED || settings_.justDownload) return downloaded;
    Result installed =
        InstallSelectedUpdates(catalogue_, observer, settings_.Store(), InstallPhaseSettingsOf(settings_));
    return downloaded != kOk ? downloaded : installed;
  }

  // What the windows need: an update's installer is downloaded already; the work with an observer.
  std::function<bool(const UpdateRecord&)> isDownloaded;
  std::function<Result(DownloadObserver&)> work;

 private:
  AppSettings& settings_;
  UpdateCatalogue& catalogue_;
  ServerCredentials credentials_;
  bool empty_ = false;
};

Result InstallWithoutWindow(AppSettings& settings, UpdateCatalogue& catalogue, bool criticalOnly) {
  InstallWork work(settings, catalogue, criticalOnly);
  return work.Empty() ? kOk : work.Run(nullptr);
}

// The reduced progress window; without a window (none can be created) the run installs all the same.
Result InstallWithReducedWindow(RunContext& run, UpdateCatalogue& catalogue, bool criticalOnly) {
  AppSettings& settings = run.settings;
  InstallWork work(settings, catalogue, criticalOnly);
  if (work.Empty()) return kOk;
  std::optional<SmallWindowEnd> ended =
      RunReducedProgressWindow(settings.applicationName, settings.justDownload, catalogue, work.isDownloaded, work.work);
  if (!ended) {
    Log(kLogInfo, L"Installing without a window.");
    return work.Run(nullptr);
  }
  if (ended->cancelled) run.dialogCancelled = true;
  return ended->result;
}

Result InstallWithWizard(RunContext& run, UpdateCatalogue& catalogue, RunMode mode) {
  AppSettings& settings = run.settings;
  InstallWork work(settings, catalogue, mode == RunMode::InstallSilentCritical);
  if (work.Empty()) return kOk;
  WizardContext wizard{settings, catalogue, mode, work.work, work.isDownloaded};
  std::optional<Result> result = RunWizard(wizard);
  if (!result) {
    // The automatic runs would only have shown their progress: without a window (a session without
    // a desktop, say) they still install.
    if (mode == RunMode::InstallSilentAll || mode == RunMode::InstallSilentCritical) {
      Log(kLogInfo, L"Installing without a window.");
      return work.Run(nullptr);
    }
    // The others end as the wizard's sheet ended: -1.
    return static_cast<Result>(-1);
  }
  if (wizard.sheetCancelled) run.dialogCancelled = true;
  return *result;
}

// "/install silent" follows the user's automatic-update policy: AutoAll and AutoCritical install
// without asking.
RunMode EffectiveInstallMode(RunMode mode, const std::optional<std::uint32_t>& autoUpdatePolicy) {
  if (mode != RunMode::InstallSilent || !autoUpdatePolicy) return mode;
  if (*autoUpdatePolicy == kPolicyAutoAll) return RunMode::InstallSilentAll;
  if (*autoUpdatePolicy == kPolicyAutoCritical) return RunMode::InstallSilentCritical;
  return mode;
}

}  // namespace

namespace {

// The install run once it holds its guards; `catalogue` receives the saved selection.
Result InstallSavedSelection(RunContext& run, UpdateCatalogue& catalogue) {
  const RunOptions& options = run.options;
  AppSettings& settings = run.settings;
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
  if (settings.reducedGui) return InstallWithReducedWindow(run, catalogue, criticalOnly);
  return InstallWithWizard(run, catalogue, mode);
}

}  // namespace

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
  Result result = InstallSavedSelection(run, catalogue);
  // The check that started this copy has ended with 0 long ago: what happened to the installation
  // is recorded on the machine. A run that only downloads installs nothing, and a run that found
  // nothing to do leaves the last installing run's record in place.
  std::vector<UpdateOutcome> outcomes = InstallOutcomes(catalogue);
  if (!settings.justDownload && (!outcomes.empty() || result != kOk))
    RecordInstallResults(settings.Store(), result, outcomes);
  return result;
}

}  // namespace updater
