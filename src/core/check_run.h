// The sequence every checking mode shares: fetch the updates configuration file and read it into
// the catalogue of the run.
#pragma once

#include <functional>
#include <string>

#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "core/command_line.h"
#include "core/instance_guard.h"
#include "core/result_codes.h"

namespace updater {

// Receives the run's messages (with their codes) for a window that shows the check.
using CheckRunCallback = std::function<void(const std::wstring& message, Result code)>;

class CheckRun {
 public:
  CheckRun(InstanceGuard& guard, AppSettings& settings, UpdateCatalogue& catalogue, RunMode mode);

  Result Run(const CheckRunCallback& callback = {});

  // Step 1: the updates configuration file, conditionally when the local copy is current.
  Result FetchUpdatesFile();
  // Step 2: reads the local copy into the catalogue.
  Result ReadUpdatesFile();

  const std::wstring& LocalCopyPath() const { return localCopy_; }

 private:
  Result Fail(const CheckRunCallback& callback, Result code) const;

  InstanceGuard& guard_;
  AppSettings& settings_;
  UpdateCatalogue& catalogue_;
  RunMode mode_;
  std::wstring localCopy_;
};

// Where a check keeps the updates configuration file: the downloads folder and the file name of
// the URL's path ("updates.ini" when the path names no plain file).
std::wstring LocalUpdatesFilePath(const std::wstring& downloadsFolder, const std::wstring& url);

// Conversions between the registry's file times and the engine's SYSTEMTIME.
SYSTEMTIME FileTimeToSystem(std::uint64_t fileTime);
std::uint64_t SystemToFileTime(const SYSTEMTIME& time);

// Whether the request may be conditional: a local copy exists that was written after the stored
// server time of the last download.
bool UseIfModifiedSince(bool localCopyExists, std::uint64_t localCopyWriteTime,
                        const std::optional<std::uint64_t>& storedLastModified);

}  // namespace updater
