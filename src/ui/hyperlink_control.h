// A static text control shown as a link in a dialog: hand cursor, a tooltip with its target, an
// underlined face of the dialog's font, and the link colours (the visited one once clicked). The
// control keeps notifying its parent of clicks (STN_CLICKED); the parent decides what a click does.
#pragma once

#include <windows.h>

#include <string>

#include "ui/description_render.h"

namespace updater {

// `colours` are usually ReadAnchorColours(); a caller may pass colours of its own.
void MakeHyperlink(HWND control, const std::wstring& target, const AnchorColours& colours);

}  // namespace updater
