// The real version of Windows (RtlGetVersion), not the one a compatibility setting reports.
#pragma once

#include <windows.h>

namespace updater {

// Zeroes when it cannot be read.
OSVERSIONINFOEXW RealOsVersion();
bool IsWindows8OrLater();
bool IsWindows10OrLater();

}  // namespace updater
