// "/silent", "/silentall", "/silentcritical": a scheduled check that honours the automatic-update
// policy and the check frequency, and schedules the next one.
#pragma once

#include "core/result_codes.h"
#include "core/run_context.h"

namespace updater {

Result RunSilentCheck(RunContext& run);

}  // namespace updater
