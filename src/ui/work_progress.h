// What a progress window shows of the worker that downloads and installs the selected updates: the
// bar's range and position and the status line, worked out from the observer's events. The wizard's
// progress page and the reduced progress window show the same thing; only the window differs.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/result_codes.h"

namespace updater {

// One change of the window: each part is set only when it changes.
struct ProgressView {
  std::optional<int> range;
  std::optional<int> position;
  std::optional<std::wstring> status;
  bool Empty() const { return !range && !position && !status; }
};

class WorkProgress {
 public:
  // The download shows as one bar over all bytes to download, in this many steps.
  static constexpr int kDownloadRange = 1000;
  // Milliseconds between two status reports of one file; the last report of a file always shows.
  static constexpr DWORD kReportInterval = 100;

  // `bytesToDownload` is asked when the download of all updates begins.
  ProgressView Begin(int actionId, std::uint32_t totalCount, const wchar_t* name, std::uint64_t bytesToDownload,
                     DWORD now);
  ProgressView Perform(std::uint32_t amount, DWORD now);
  ProgressView End(int actionId, Result state);
  // The last file downloads again (it was corrupt): its bytes no longer count as done.
  void ForgetLastFile();

 private:
  ProgressView DownloadView(bool force, DWORD now);

  int action_ = 0;
  std::uint64_t downloadTotal_ = 0;
  std::uint64_t downloadDone_ = 0;
  std::uint64_t fileTotal_ = 0;
  std::uint64_t fileDone_ = 0;
  std::uint64_t lastFileBytes_ = 0;
  DWORD lastReport_ = 0;
  bool reported_ = false;
  int installDone_ = 0;
};

// The window's taskbar button: its progress and its overlay icon, where the shell offers them
// (Windows 7 and later); otherwise every call does nothing. Lives on the window's thread, inside
// its COM apartment.
class TaskbarButton {
 public:
  TaskbarButton();
  ~TaskbarButton();
  TaskbarButton(const TaskbarButton&) = delete;
  TaskbarButton& operator=(const TaskbarButton&) = delete;

  void SetValue(HWND window, int position, int range);
  void SetState(HWND window, TBPFLAG state);
  void SetOverlayIcon(HWND window, HICON icon);

 private:
  ITaskbarList3* taskbar_ = nullptr;
  bool comInitialised_ = false;
};

}  // namespace updater
