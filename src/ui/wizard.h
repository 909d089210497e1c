// The update wizard: the property sheet of an install run with a window. It lets the user postpone
// or refuse the updates, choose which to take, follow the downloads and installations on a worker
// thread, and read a summary.
#pragma once

#include <functional>
#include <optional>

#include "base/result_codes.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "config/command_line.h"
#include "transfer/download_observer.h"

namespace updater {

struct WizardContext {
  AppSettings& settings;
  UpdateCatalogue& catalogue;
  // The install run's mode once the automatic-update policy was applied.
  RunMode mode = RunMode::InstallInteractive;
  // Downloads the selected updates and installs them (unless the run only downloads), reporting
  // to `observer`. Runs on the worker thread; its result is the worker's exit code.
  std::function<Result(DownloadObserver& observer)> work;
  // Whether an update's installer is downloaded already: its Action reads "Install".
  std::function<bool(const UpdateRecord&)> isDownloaded;

  // Set by RunWizard: the sheet closed without Finish (the user cancelled).
  bool sheetCancelled = false;
};

// Shows the wizard and returns the worker's exit code, or 0 when no worker ran; nothing (with
// ERROR_OUTOFMEMORY as last error) when the sheet cannot be made.
std::optional<Result> RunWizard(WizardContext& context);

}  // namespace updater
