#include "core/just_check_run.h"

#include "config/catalogue_wiring.h"
#include "core/check_run.h"

namespace updater {

Result RunJustCheck(RunContext& run) {
  Result valid = run.settings.Validate();
  if (valid != kOk) return valid;
  JustCheckOptions justCheck;
  justCheck.dumpDetectedPath = run.options.dumpDetectedPath;
  justCheck.installReady = run.options.installReady;
  justCheck.notify = !run.options.restartApp.empty();
  CatalogueSettings catalogueSettings = CatalogueSettingsFor(run.settings);
  UpdateCatalogue catalogue(catalogueSettings);
  CheckRun check(run.checkGuard, run.settings, catalogue, run.mode, justCheck);
  return check.Run();
}

}  // namespace updater
