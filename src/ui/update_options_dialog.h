// The "Update Options" dialog: the automatic-update policy, the check frequency, the downloads
// folder and the time of the next check. Opened from the Welcome page's "Configure Options" link
// and by "/configure".
#pragma once

#include <windows.h>

#include "config/app_settings.h"

namespace updater {

// Modal over `owner`. OK stores what changed and returns true; Cancel stores nothing.
bool ShowUpdateOptions(HWND owner, AppSettings& settings);

}  // namespace updater
