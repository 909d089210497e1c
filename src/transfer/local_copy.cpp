// The engine's local and network-share sources: a file:// or UNC path copied into the part file,
// with a connection to the share when the URL carries a user name.
#include "transfer/async_download_internal.h"

#include <winnetwk.h>

#include "transfer/download_rules.h"

namespace updater {

Result AsyncDownloadThread::ConnectLocal(const UrlParts& url, std::uint32_t& total) {
  mLocalSource = url.path;
  if (!url.user.empty()) {
    std::wstring folder = FolderOfPath(url.path);
    std::wstring user = url.user;
    std::wstring password = url.password;
    for (;;) {
      NETRESOURCEW resource{};
      resource.dwType = RESOURCETYPE_DISK;
      resource.lpRemoteName = folder.data();
      DWORD result = ::WNetAddConnection2W(&resource, password.c_str(), user.c_str(), 0);
      if (result == NO_ERROR) break;
      if (result != ERROR_INVALID_PASSWORD && result != ERROR_LOGON_FAILURE && result != 2202) return result;
      if (!SupplyCredentials(nullptr, url.path, L"Local Network Server", false, L"", user, password)) return result;
    }
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(mLocalSource.c_str(), GetFileExInfoStandard, &data)) return ::GetLastError();
  total = data.nFileSizeLow;
  return kOk;
}

DWORD CALLBACK AsyncDownloadThread::CopyProgress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                                                 LARGE_INTEGER, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data) {
  auto* self = static_cast<AsyncDownloadThread*>(data);
  if (reason == CALLBACK_STREAM_SWITCH && !self->mCopyBegun) {
    self->mCopyBegun = true;
    if (self->mObserver) self->mObserver->BeginAction(PAID_DOWNLOAD_FILE, self->mCopyTotal, nullptr);
  }
  if (self->IsCanceled()) return PROGRESS_CANCEL;
  std::uint32_t done = static_cast<std::uint32_t>(transferred.QuadPart);
  DWORD now = ::GetTickCount();
  bool complete = done >= self->mCopyTotal;
  if (done > self->mCopyReported && (complete || now - self->mCopyLastReportTick >= kCopyReportInterval)) {
    if (self->mObserver) self->mObserver->SubActionPerform(done - self->mCopyReported);
    self->mCopyReported = done;
    self->mCopyLastReportTick = now;
  }
  return PROGRESS_CONTINUE;
}

Result AsyncDownloadThread::CopyLocalFile(std::uint32_t total) {
  if (mOptions.queryLastModified || IsTimeSet(mOptions.ifModifiedSince)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(mLocalSource.c_str(), GetFileExInfoStandard, &data)) {
      ::FileTimeToSystemTime(&data.ftLastWriteTime, &mLastModified);
      if (IsTimeSet(mOptions.ifModifiedSince) && CompareTimes(mOptions.ifModifiedSince, mLastModified) >= 0) return E_UPD_NOT_MODIFIED;
    }
  }
  Result result = CreateSubFolders(FolderOfPath(mPartPath));
  if (result != kOk) {
    Report(nullptr, result);
    return result;
  }
  if (mOptions.securePartFile && ::GetFileAttributesW(mPartPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    UniqueFile created(CreatePartFile(CREATE_NEW));
  }
  mCopyBegun = false;
  mCopyReported = 0;
  mCopyLastReportTick = ::GetTickCount();
  mCopyTotal = total;
  if (IsCanceled()) return E_UPD_CANCELED;
  if (!::CopyFileExW(mLocalSource.c_str(), mPartPath.c_str(), &AsyncDownloadThread::CopyProgress, this, nullptr, 0)) {
    Result error = ::GetLastError();
    if (IsCanceled()) return E_UPD_CANCELED;
    Report(nullptr, error);
    return error;
  }
  // Some platforms copy without ever calling the progress routine: report the copy as one step.
  if (!mCopyBegun && mObserver) mObserver->BeginAction(PAID_DOWNLOAD_FILE, total, nullptr);
  if (mCopyReported < total && mObserver) mObserver->SubActionPerform(total - mCopyReported);
  result = FinishPartFile();
  if (result != kOk) return result;
  if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
  return kOk;
}

}  // namespace updater
