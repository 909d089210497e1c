#include "app/run_modes.h"

#include "check/check_run.h"

namespace updater {

Result RunJustCheck(RunContext& run) {
  // The application starts at once; a just-check never holds it up.
  if (!run.options.restartApp.empty())
    StartApplication(run.options.restartApp, run.options.restartAppCmd, run.settings.appDir);
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  JustCheckOptions justCheck;
  justCheck.dumpDetectedPath = run.options.dumpDetectedPath;
  justCheck.installReady = run.options.installReady;
  justCheck.notify = !run.options.restartApp.empty();
  return RunCheckSequence(run, justCheck);
}

}  // namespace updater
