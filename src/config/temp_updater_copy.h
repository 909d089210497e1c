// The temporary copy of the updater that downloads and installs what a check found: the updater
// never installs from the executable the application ships, because an installer may replace that
// very file. The check copies itself into a folder of its own, writes the copy's settings file and
// the saved selection, writes a batch file that deletes the copy afterwards, starts the copy with
// "/install" and ends.
#pragma once

#include <string>
#include <vector>

#include "base/instance_guard.h"
#include "base/result_codes.h"
#include "config/app_settings.h"
#include "config/command_line.h"

namespace updater {

// The copy's folder name: the 32 lowercase hexadecimal digits of the MD5 of the running path in
// the system's ANSI code page, so that every hand-over by the same updater uses the same folder.
std::wstring CopyFolderName(const std::wstring& runningPath);

// The clean-up batch file's text: deletes the listed files, retries the deletion of the copy until
// the copy has ended, then removes the folder and the batch file itself.
std::wstring CleanUpBatchText(const std::vector<std::wstring>& filesToDelete, const std::wstring& copyPath,
                              const std::wstring& folder, const std::wstring& batchPath);

// Starts the clean-up batch file hidden, in its own folder, without waiting for it.
void LaunchCleanUpBatch(const std::wstring& batchPath);

class TempUpdaterCopy {
 public:
  // The copy of the running updater (the path is given for tests).
  explicit TempUpdaterCopy(std::wstring runningPath);

  // Copies the updater into its folder (the MD5-named one, or a fresh "kxw" folder for the server)
  // and starts the settings file with its byte-order mark and "RealUpdaterPath".
  Result Prepare(bool inTempSubfolder);
  // Section "General" of the settings file.
  bool WriteSetting(const std::wstring& key, const std::wstring& value) const;
  // " " and the text in double quotes, or as it is when `quote` is false.
  void AppendArgument(const std::wstring& text, bool quote = true);
  void AddFileToDelete(const std::wstring& path) { filesToDelete_.push_back(path); }
  // Written in the system's ANSI code page without a terminating zero.
  Result WriteBatchFile(const std::wstring& batchPath);
  // Starts the copy without handle inheritance; on failure opens the batch file at once.
  Result Start(bool useCopyFolderAsWorkingDirectory);

  const std::wstring& Folder() const { return folder_; }
  const std::wstring& CopyPath() const { return copyPath_; }
  const std::wstring& SettingsPath() const { return settingsPath_; }
  const std::wstring& BatchPath() const { return batchPath_; }
  const std::wstring& Arguments() const { return arguments_; }
  // The copy's own files beside it: <folder>\<name><extension>.
  std::wstring SiblingPath(const std::wstring& extension) const;

 private:
  std::wstring runningPath_;
  std::wstring folder_;
  std::wstring copyPath_;
  std::wstring settingsPath_;
  std::wstring batchPath_;
  std::wstring arguments_;
  std::vector<std::wstring> filesToDelete_;
};

}  // namespace updater
