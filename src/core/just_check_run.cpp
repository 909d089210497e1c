#include "core/just_check_run.h"

#include "core/check_run.h"

namespace updater {

Result RunJustCheck(RunContext& run) {
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  JustCheckOptions justCheck;
  justCheck.dumpDetectedPath = run.options.dumpDetectedPath;
  justCheck.installReady = run.options.installReady;
  justCheck.notify = !run.options.restartApp.empty();
  return RunCheckSequence(run, justCheck);
}

}  // namespace updater
