#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "check/check_run.h"
#include "config/run_results.h"

namespace updater {
namespace {

// Why a scheduled run ends without checking, with the way to check all the same.
void LogNotDue(const SettingsStore& store, const CheckDueDecision& decision) {
  if (!LogWants(kLogDebug)) return;
  if (decision.disabledByPolicy) {
    Log(kLogDebug, L"Automatic checks are disabled by the AutoUpdatePolicy; -nofreqcheck checks now.");
    return;
  }
  std::optional<FileTime64> due = ReadCheckSchedule(store).nextUpdateCheck;
  if (due && CurrentUtcFileTime() < *due)
    LogFormat(kLogDebug, L"The check is not due before %ls; -nofreqcheck checks now.", FormatUtc(*due).c_str());
  else
    Log(kLogDebug, L"Automatic checks are turned off (NoAutoUpdateCheck); -nofreqcheck checks now.");
}

}  // namespace

Result RunSilentCheck(RunContext& run) {
  if (run.options.startAppFirst && !run.options.restartApp.empty())
    StartApplication(run.options.restartApp, run.options.restartAppCmd, run.settings.appDir);
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  if (!run.options.noFreqCheck) {
    CheckDueDecision decision = IsCheckDue(run.settings.Store());
    if (!decision.due) {
      LogNotDue(run.settings.Store(), decision);
      return decision.ResultCode();
    }
  }
  Result first = EnsureFirstInstance(run.checkGuard, ExecutablePath(), run.options.startMinimized);
  if (first != kOk) return first;
  const FileTime64 started = CurrentUtcFileTime();
  Result result = run.options.showWaitDlg ? RunCheckSequenceWithWindow(run) : RunCheckSequence(run);
  if (IsQuietResult(result) && !run.options.noFreqCheck) {
    run.settings.ScheduleNextCheck(run.settings.CheckFrequency());
    KeepRetryOfFailedInstall(run.settings.Store(), started);
  }
  return result;
}

}  // namespace updater
