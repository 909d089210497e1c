#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "check/check_run.h"

namespace updater {

Result RunCheckNow(RunContext& run) {
  if (run.options.startAppFirst && !run.options.restartApp.empty())
    StartApplication(run.options.restartApp, run.options.restartAppCmd, run.settings.appDir);
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  Result first = EnsureFirstInstance(run.checkGuard, ExecutablePath(), run.options.startMinimized);
  if (first != kOk) return first;
  if (run.options.minUserActions || run.options.startMinimized) return RunCheckSequence(run);
  return RunCheckSequenceWithWindow(run);
}

}  // namespace updater
