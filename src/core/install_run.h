// "/install": the temporary copy's run. It reads the selection its parent saved, downloads and
// verifies the installers and installs them, oldest first, then leaves its clean-up to the batch
// file its parent wrote.
#pragma once

#include "core/result_codes.h"
#include "core/run_context.h"

namespace updater {

Result RunInstall(RunContext& run);

// Mode 7 follows the user's automatic-update policy: AutoAll installs like mode 8, AutoCritical
// like mode 9; any other policy (or none) keeps mode 7.
RunMode EffectiveInstallMode(RunMode mode, const std::optional<std::uint32_t>& autoUpdatePolicy);

}  // namespace updater
