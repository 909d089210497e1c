// The life of one updater process: start-up, the run of one mode, the exit code.
#pragma once

#include <string>

#include "base/result_codes.h"

namespace updater {

// Runs the process for a command line without the program's own path; returns the exit code.
Result RunProcess(const std::wstring& commandLine);

}  // namespace updater
