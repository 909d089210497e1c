// The end of a check that found updates to install: the chosen updates go to a temporary copy of
// the updater, which downloads and installs them while the check ends.
#pragma once

#include "base/instance_guard.h"
#include "base/result_codes.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "config/command_line.h"

namespace updater {

// For a critical-only hand-over: keeps selected only the critical updates and the updates their
// dependency chains need, so that the copy can install those dependencies first.
void NarrowToCriticalUpdates(UpdateCatalogue& catalogue);

// The hand-over of a check run that found updates: 0 when the copy was started (or nothing was
// selected), else the error of preparing or starting it.
Result HandOverToTemporaryCopy(const AppSettings& settings, RunMode mode, UpdateCatalogue& catalogue,
                               const InstanceGuard& checkGuard);

}  // namespace updater
