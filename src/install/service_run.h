// "/runservice" and "/debugservice": the support service's process. Started by the service control
// manager with a client's channel name, it starts the server copy of the updater and stops again.
#pragma once

#include <string>
#include <vector>

#include "config/app_settings.h"
#include "core/result_codes.h"

namespace updater {

// Mode 13: under the service control manager.
Result RunService(AppSettings& settings);
// Mode 14: the service body in this process, without start arguments.
Result DebugService(AppSettings& settings);

// The service's work: with exactly two start arguments (the service name and the channel's base
// name) a copy of the updater in a fresh "kxw" folder is started with "/runserver"; 0 or the error.
Result StartServerCopy(const AppSettings& settings, const std::vector<std::wstring>& arguments);

}  // namespace updater
