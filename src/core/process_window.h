// Bringing a process that was just started to the user: its first visible top-level window is put in
// the foreground once it appears.
#pragma once

#include <windows.h>

namespace updater {

// Looks for a visible top-level window of the process up to 20 times, 100 ms apart; true when one
// was found and brought to the foreground.
bool BringProcessWindowToForeground(DWORD processId);

}  // namespace updater
