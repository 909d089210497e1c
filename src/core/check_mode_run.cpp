#include "core/check_mode_run.h"

#include "core/check_run.h"
#include "core/logger.h"
#include "core/module_path.h"

namespace updater {

Result RunCheckNow(RunContext& run) {
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  Result first = EnsureFirstInstance(run.checkGuard, ExecutablePath(), run.options.startMinimized);
  if (first != kOk) return first;
  if (run.options.minUserActions || run.options.startMinimized) return RunCheckSequence(run);
  return RunCheckSequenceWithWindow(run);
}

}  // namespace updater
