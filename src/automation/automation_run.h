// "/automation": the updater as a local COM server for the class named by -clsid. It serves the
// host until the host has released every object, or ends after 60 s when nobody connects.
#pragma once

#include "config/app_settings.h"
#include "core/command_line.h"
#include "core/result_codes.h"

namespace updater {

Result RunAutomation(AppSettings& settings, const RunOptions& options);

}  // namespace updater
