// The application object of one updater process: parses the command line, loads the settings,
// runs the selected mode and turns its outcome into the exit code.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "base/instance_guard.h"
#include "base/result_codes.h"
#include "base/win_handles.h"
#include "config/app_settings.h"
#include "config/command_line.h"

namespace updater {

class UpdaterApp {
 public:
  explicit UpdaterApp(std::wstring commandLine);
  UpdaterApp(const UpdaterApp&) = delete;
  UpdaterApp& operator=(const UpdaterApp&) = delete;

  // The run wrapper: the driver, the clean-up batch file of a temporary copy, the closing log lines.
  Result Run();

  RunMode Mode() const { return mode_; }
  const RunOptions& Options() const { return options_; }
  // True once the clean-up batch file was started: the process must then end without closing the
  // program file it holds (ExitProcess), so that the batch file waits for the end of the process.
  bool HoldsProgramFile() const { return static_cast<bool>(heldProgramFile_); }

 private:
  Result Drive();
  Result Dispatch();
  Result ApplyCommandLineOverrides();
  void SetUpLogging(bool announceMode);
  void RecordUpdaterCopy();
  void ShowEndOfRunMessage(Result result);

  // Declared first: COM ends after everything else the run holds.
  std::optional<ComInitialization> com_;
  RunOptions options_;
  RunMode mode_ = RunMode::CheckNow;
  bool dialogCancelled_ = false;
  InstanceGuard checkGuard_;
  InstanceGuard installGuard_;
  std::unique_ptr<AppSettings> settings_;
  UniqueFile heldProgramFile_;
};

// True for the modes that check for updates (their copies are recorded, their configuration is
// always located anew).
bool IsCheckingMode(RunMode mode);

// Log path of a run: the client configuration's folder followed by "updater.log".
std::wstring LogPathFor(const std::wstring& clientConfigPath);

}  // namespace updater
