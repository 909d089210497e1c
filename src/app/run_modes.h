// The run modes: one handler per mode, each in the file of this folder named after it, and the
// table from which the driver chooses the handler of the mode its command line gave.
#pragma once

#include "base/result_codes.h"
#include "config/run_context.h"

namespace updater {

using ModeHandler = Result (*)(RunContext& run);

// The handler of a mode (every mode the command line can give has one).
ModeHandler HandlerOf(RunMode mode);

Result RunCheckNow(RunContext& run);         // check_now_mode.cpp: "/checknow"
Result RunSilentCheck(RunContext& run);      // silent_check_mode.cpp: "/silent", "/silentall", "/silentcritical"
Result RunJustCheck(RunContext& run);        // just_check_mode.cpp: "/justcheck" (with "-critical")
Result RunInstall(RunContext& run);          // install_mode.cpp: "/install", the temporary copy
Result RunConfigure(RunContext& run);        // configure_mode.cpp: "/configure"
Result RunClean(RunContext& run);            // clean_mode.cpp: "/clean"
Result RunSet(RunContext& run);              // set_mode.cpp: "/set"
Result RunToastLink(RunContext& run);        // toast_link_mode.cpp: a toast's link came back
Result RunToastCommand(RunContext& run);     // toast_link_mode.cpp: a toast's command came back
Result RunService(RunContext& run);          // service_mode.cpp: the support service
Result RunDebugService(RunContext& run);     // service_mode.cpp: the service's work without the manager
Result RunServer(RunContext& run);           // server_mode.cpp: "/runserver", the service's server copy
Result RunInstallService(RunContext& run);   // service_setup_mode.cpp: "/installservice"
Result RunConfigService(RunContext& run);    // service_setup_mode.cpp: "/configservice"
Result RunUninstallService(RunContext& run); // service_setup_mode.cpp: "/uninstallservice"
Result RunAutomation(RunContext& run);       // automation_mode.cpp: "/automation", the COM server

// Starts the "-restartapp" application (expanded like a folder value) and brings its first window
// to the foreground; the checking modes start it first when "-startappfirst" asks for it.
void StartApplication(const std::wstring& application, const std::wstring& arguments, const std::wstring& appDir);

}  // namespace updater
