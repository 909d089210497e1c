// "/checknow": an interactive check whose updates are handed to a temporary copy that installs them.
#pragma once

#include "core/result_codes.h"
#include "core/run_context.h"

namespace updater {

Result RunCheckNow(RunContext& run);

}  // namespace updater
