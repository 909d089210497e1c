// The read-only rich-text pane of update descriptions and publisher messages: loads a rendered RTF
// document, applies its style runs, and opens clicked links.
#pragma once

#include <windows.h>
#include <richedit.h>

#include <string>

#include "ui/description_render.h"

namespace updater {

// Loads the rich-edit library once; false when it is missing.
bool LoadRichEditLibrary();

// Replaces the pane's content with `rtf` (the text limit set to its length) and applies `runs`.
void ShowRtf(HWND pane, const std::string& rtf, const StyleRunList& runs);

// For each run in order: selects its range, reads the character format and sets the run's effect.
void ApplyRuns(HWND pane, const StyleRunList& runs);

// The pane's EN_LINK notification: a button-up on link text opens the link of that exact range.
// Returns true when the notification was a link click.
bool HandleLinkNotification(const ENLINK& link, const StyleRunList& runs);

}  // namespace updater
