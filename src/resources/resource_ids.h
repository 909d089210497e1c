// Identifiers of the resources compiled into updater.exe.
#pragma once

#define IDR_APP_MANIFEST 1
