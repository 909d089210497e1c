// The window classes every window of the updater may use: the common controls' bar and rebar classes
// and the rich-edit library. They are made ready by the first window a run shows, so that a run
// without a window (an up-to-date check at application start) neither loads nor initialises them.
#pragma once

namespace updater {

// Once per process, before the first window, dialog or message box: initialises the common controls
// and loads "RICHED20.DLL", which stays loaded until the process ends. Later calls do nothing.
void PrepareWindowClasses();

}  // namespace updater
