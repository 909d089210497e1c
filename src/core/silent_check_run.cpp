#include "core/silent_check_run.h"

#include "core/check_run.h"
#include "core/logger.h"
#include "core/module_path.h"

namespace updater {

Result RunSilentCheck(RunContext& run) {
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
