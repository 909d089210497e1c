// "/configure": the Update Options dialog on its own, over the window the caller names.
#pragma once

#include <windows.h>

#include "config/app_settings.h"
#include "core/result_codes.h"

namespace updater {

// Modal over `parentWindow` when that names a window with a title, else over the active window.
// The result is 0, whether the user pressed OK or Cancel.
Result RunConfigure(AppSettings& settings, HWND parentWindow);

}  // namespace updater
