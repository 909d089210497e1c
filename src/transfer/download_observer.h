// The progress, pause, cancel and question protocol between a long-running action (download,
// checks, installation) and whoever shows or steers it: the wizard, the silent runs, the
// automation server.
#pragma once

#include <cstdint>

#include "base/result_codes.h"

namespace updater {

// Action identifiers reported through BeginAction / EndAction.
inline constexpr int PAID_DOWNLOAD_FILE = 1;  // one file; total = its size in bytes (0 if unknown)
inline constexpr int PAID_DOWNLOAD = 101;     // the download of all selected updates
inline constexpr int PAID_CHECK_MD5 = 102;    // MD5 check of one file
inline constexpr int PAID_CHECK_SHA256 = 105; // SHA-256 check of one file
// Actions of the installation, reported through the same protocol.
inline constexpr int PAID_INSTALL_UPDATE = 2;   // one update; name = its display name
inline constexpr int PAID_INSTALL_EXTRA = 3;    // announced with the client flag NoUpdaterInstallGUI
inline constexpr int PAID_INSTALL = 103;        // the installation of all selected updates

class DownloadObserver {
 public:
  virtual ~DownloadObserver() = default;

  // An action starts. `name` may be null.
  virtual void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) = 0;
  // Free for the implementer's own bookkeeping; the download engine never calls it.
  virtual void SetActionDetail(const wchar_t* /*detail*/) {}
  // The action ended; a completed transfer ends with state 0.
  virtual void EndAction(int actionId, Result state) = 0;
  // Progress: `amount` adds to what was reported since BeginAction.
  virtual void SubActionPerform(std::uint32_t amount) = 0;
  // True ends the running action with 0xE0000008.
  virtual bool IsCanceled() = 0;
  // True holds the running action in 10 ms steps until it turns false or a cancel comes.
  virtual bool IsPaused() = 0;
  // An error or a question. Returns the decision: kObserverRetry (1237) asks for a retry, 0
  // declines it; for certificate questions 0 means proceed and any other value means fail.
  // `url` may be null; `context` is the request handle for certificate questions and the
  // CredentialsProvider for credentials questions (0xE0000012).
  virtual Result Error(const wchar_t* url, Result code, void* context) = 0;
};

}  // namespace updater
