#include "ui/work_progress.h"

#include <algorithm>

#include "base/format_size.h"
#include "base/string_table.h"
#include "resources/string_ids.h"
#include "transfer/download_observer.h"
#include "transfer/download_observer.h"

namespace updater {
namespace {

std::wstring FileNameOf(const wchar_t* path) {
  std::wstring text = path ? path : L"";
  std::size_t slash = text.find_last_of(L"\\/");
  return slash == std::wstring::npos ? text : text.substr(slash + 1);
}

// "%d" in a string-table pattern, filled like "%s".
std::wstring FillNumbers(unsigned id, std::initializer_list<std::wstring> inserts) {
  std::wstring pattern = LoadStringResource(id);
  for (std::size_t at = pattern.find(L"%d"); at != std::wstring::npos; at = pattern.find(L"%d", at + 2))
    pattern[at + 1] = L's';
  return FillText(pattern, inserts);
}

}  // namespace

ProgressView WorkProgress::DownloadView(bool force, DWORD now) {
  if (!force && reported_ && now - lastReport_ < kReportInterval) return {};
  reported_ = true;
  lastReport_ = now;
  std::uint64_t done = downloadDone_ + fileDone_;
  ProgressView view;
  view.position = downloadTotal_ ? static_cast<int>(std::min(done, downloadTotal_) * kDownloadRange / downloadTotal_) : 0;
  std::uint64_t fileTotal = std::max(fileTotal_, fileDone_);
  int percent = fileTotal ? static_cast<int>(fileDone_ * 100 / fileTotal) : 0;
  view.status =
      FillNumbers(kStrDownloadingProgress, {FormatSize(fileDone_), FormatSize(fileTotal), std::to_wstring(percent)});
  return view;
}

ProgressView WorkProgress::Begin(int actionId, std::uint32_t totalCount, const wchar_t* name,
                                 std::uint64_t bytesToDownload, DWORD now) {
  ProgressView view;
  switch (actionId) {
    case PAID_DOWNLOAD:
      downloadTotal_ = bytesToDownload;
      downloadDone_ = 0;
      view.range = kDownloadRange;
      view.position = 0;
      break;
    case PAID_DOWNLOAD_FILE:
      action_ = actionId;
      fileTotal_ = totalCount;
      fileDone_ = 0;
      view = DownloadView(true, now);
      break;
    case PAID_CHECK_MD5:
    case PAID_CHECK_SHA256:
      view.status = LoadStringFilled(kStrCheckingIntegrity, {FileNameOf(name)});
      break;
    case PAID_INSTALL:
      installDone_ = 0;
      view.range = static_cast<int>(std::max<std::uint32_t>(totalCount, 1));
      view.position = 0;
      break;
    case PAID_INSTALL_UPDATE:
      view.status = LoadStringFilled(kStrInstallingUpdate, {name ? name : L""});
      break;
    default:
      break;
  }
  return view;
}

ProgressView WorkProgress::Perform(std::uint32_t amount, DWORD now) {
  if (action_ != PAID_DOWNLOAD_FILE) return {};
  fileDone_ += amount;
  return DownloadView(fileTotal_ != 0 && fileDone_ >= fileTotal_, now);
}

ProgressView WorkProgress::End(int actionId, Result state) {
  ProgressView view;
  switch (actionId) {
    case PAID_DOWNLOAD_FILE:
      action_ = 0;
      lastFileBytes_ = std::max(fileTotal_, fileDone_);
      if (state == kOk) downloadDone_ += lastFileBytes_;
      fileTotal_ = fileDone_ = 0;
      break;
    case PAID_INSTALL_UPDATE:
      view.position = ++installDone_;
      break;
    default:
      break;
  }
  return view;
}

TaskbarButton::TaskbarButton() {
  comInitialised_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&taskbar_))) ||
      FAILED(taskbar_->HrInit())) {
    if (taskbar_) taskbar_->Release();
    taskbar_ = nullptr;
  }
}

TaskbarButton::~TaskbarButton() {
  if (taskbar_) taskbar_->Release();
  if (comInitialised_) ::CoUninitialize();
}

void TaskbarButton::SetValue(HWND window, int position, int range) {
  if (taskbar_ && window && range > 0)
    taskbar_->SetProgressValue(window, static_cast<ULONGLONG>(position), static_cast<ULONGLONG>(range));
}

void TaskbarButton::SetState(HWND window, TBPFLAG state) {
  if (taskbar_ && window) taskbar_->SetProgressState(window, state);
}

void TaskbarButton::SetOverlayIcon(HWND window, HICON icon) {
  if (taskbar_ && window) taskbar_->SetOverlayIcon(window, icon, L"");
}

void WorkProgress::ForgetLastFile() { downloadDone_ -= std::min(downloadDone_, lastFileBytes_); }

}  // namespace updater
