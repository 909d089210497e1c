// The inside of the update wizard, shared by the sheet and its pages: the sheet operations the pages
// use, the worker thread with its cancel flag, and the notification-area icon.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <atomic>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "ui/tray_icon.h"
#include "ui/wizard.h"
#include "ui/wizard_logic.h"

namespace updater {

// Wizard button bits.
inline constexpr int kButtonBack = 1;
inline constexpr int kButtonNext = 2;
inline constexpr int kButtonFinish = 4;
inline constexpr int kButtonCancel = 16;

// Messages to a page: run the std::function<void()> in lParam on the page's thread (sent, so the
// worker waits for it), and the worker's end with its exit code in lParam (posted).
inline constexpr UINT kMsgRunOnUiThread = WM_APP + 1;
inline constexpr UINT kMsgWorkerEnded = WM_APP + 2;


class WizardSheet {
 public:
  explicit WizardSheet(WizardContext& context);
  ~WizardSheet();
  WizardSheet(const WizardSheet&) = delete;
  WizardSheet& operator=(const WizardSheet&) = delete;

  // The worker's exit code (0 when no worker ran); nothing when the sheet could not be made.
  std::optional<Result> Run();

  // ---- Sheet operations ----
  void SelectPage(WizardPage page);
  void Press(int psButton);  // PSBTN_BACK, PSBTN_NEXT, PSBTN_FINISH, PSBTN_CANCEL
  void SetTitle(const std::wstring& title);
  void ShowButtons(int mask, int shown);
  void EnableButtons(int mask, int enabled);
  void SetCloseEnabled(bool enabled);
  void SetButtonTexts();
  int IndexOf(WizardPage page) const;
  bool IsFirstPage(WizardPage page) const { return IndexOf(page) == 0; }
  bool Visible() const { return sheet_ && ::IsWindowVisible(sheet_) && !::IsIconic(sheet_); }
  void Restore();
  HWND Window() const { return sheet_; }

  // ---- Shared state ----
  WizardContext& context;
  AppSettings& settings;
  const std::wstring& ApplicationName() const { return applicationName_; }
  TrayIcon& Tray() { return tray_; }
  bool StartsHidden() const { return startsHidden_; }
  bool VerticalSplit() const { return verticalSplit_; }
  bool Finished() const { return finished_; }
  void MarkFinished() { finished_ = true; }

  // ---- Worker ----
  // Starts the download and installation with `sink` as observer; its end is posted to `page`.
  bool StartWorker(DownloadObserver& sink, HWND page);
  bool WorkerRunning() const { return workerRunning_; }
  // Asks the worker to stop: true when this call set the flag (a second press does not stop it twice).
  bool RequestCancel() { return !cancel_.exchange(true); }
  bool CancelRequested() const { return cancel_; }
  void ClearCancel() { cancel_ = false; }
  void OnWorkerEnded(Result result);
  bool WorkerRan() const { return workerRan_; }
  Result WorkerResult() const { return workerResult_; }
  void WaitForWorker();

  // The sheet's window procedure hook (notification-area icon, minimise, tray commands).
  static LRESULT CALLBACK SheetSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                        DWORD_PTR data);
  static int CALLBACK SheetCallback(HWND window, UINT message, LPARAM lParam);

 private:
  static DWORD WINAPI WorkerMain(LPVOID parameter);
  void OnSheetCreated(HWND sheet);

  std::wstring applicationName_;
  std::vector<WizardPage> pages_;
  bool startsHidden_ = false;
  bool verticalSplit_ = false;
  HWND sheet_ = nullptr;
  TrayIcon tray_;
  bool restoring_ = false;
  bool finished_ = false;

  UniqueHandle worker_;
  DownloadObserver* sink_ = nullptr;
  HWND workerPage_ = nullptr;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> workerRunning_{false};
  bool workerRan_ = false;
  Result workerResult_ = kOk;
};

// Runs `call` on the thread of `window` and waits for it.
void RunOnUiThread(HWND window, const std::function<void()>& call);

// The page's sheet, stored at WM_INITDIALOG from the PROPSHEETPAGE.
WizardSheet* SheetOfPage(HWND page, UINT message, LPARAM lParam);

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SelectionPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SummaryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Answers a page notification (PSN_WIZNEXT and the like) from a dialog procedure.
inline INT_PTR Answer(HWND page, LONG_PTR value) {
  ::SetWindowLongPtrW(page, DWLP_MSGRESULT, value);
  return TRUE;
}

}  // namespace updater
