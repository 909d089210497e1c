#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "check/check_run.h"

namespace updater {

Result RunSilentCheck(RunContext& run) {
  if (run.options.startAppFirst && !run.options.restartApp.empty())
    StartApplication(run.options.restartApp, run.options.restartAppCmd, run.settings.appDir);
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  if (!run.options.noFreqCheck) {
    CheckDueDecision decision = IsCheckDue(run.settings.Store());
    if (!decision.due) return decision.ResultCode();
  }
  Result first = EnsureFirstInstance(run.checkGuard, ExecutablePath(), run.options.startMinimized);
  if (first != kOk) return first;
  Result result = run.options.showWaitDlg ? RunCheckSequenceWithWindow(run) : RunCheckSequence(run);
  if (IsQuietResult(result) && !run.options.noFreqCheck) run.settings.ScheduleNextCheck(run.settings.CheckFrequency());
  return result;
}

}  // namespace updater
