// What the download engine's parts share: its constants, the WinINet helpers, the completion block
// the library's status callback writes into, and the pattern that runs a call that may pend.
// Only the engine's own files include this.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "base/logger.h"
#include "transfer/async_download.h"

namespace updater {

inline constexpr wchar_t kAgentName[] = L"KestruneInstaller";
inline constexpr DWORD kReadBufferSize = 51200;
inline constexpr DWORD kPollMilliseconds = 10;
// Reload, no cache write, keep-alive, redirects between HTTP and HTTPS allowed without a warning
// (0x8440C000); and no automatic redirection, so that the engine counts the redirects it follows.
inline constexpr DWORD kRequestFlags = 0x8440C000 | INTERNET_FLAG_NO_AUTO_REDIRECT;
inline constexpr DWORD kIgnoreUpFrontFlags = 0x13380;
inline constexpr DWORD kAcceptCertificateFlags = 0x3F05 | SECURITY_FLAG_IGNORE_REVOCATION;
inline constexpr int kMaxCertificateResends = 4;
inline constexpr DWORD kHandleClosingWait = 30000;
inline constexpr DWORD kCopyReportInterval = 200;
inline constexpr DWORD kFtpTransferBinaryReload = 0x80000002;

inline void TraceCode(const wchar_t* text, Result code) {
  LogFormat(kLogTrace, L"%ls LastError: %ls", text, FormatResultForLog(code).c_str());
}

inline bool QueryNumber(HINTERNET request, DWORD query, DWORD& value) {
  DWORD size = sizeof(value);
  value = 0;
  return ::HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr) != FALSE;
}

inline std::wstring QueryText(HINTERNET request, DWORD query) {
  std::vector<wchar_t> buffer(260);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::HttpQueryInfoW(request, query, buffer.data(), &size, nullptr)) return std::wstring(buffer.data());
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(size / sizeof(wchar_t) + 1);
  }
}

// A response header by its name; empty when the answer has none.
inline std::wstring QueryHeader(HINTERNET request, const std::wstring& name) {
  std::vector<wchar_t> buffer(std::max<size_t>(name.size() + 1, 260));
  for (;;) {
    std::copy(name.begin(), name.end(), buffer.begin());
    buffer[name.size()] = L'\0';
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, buffer.data(), &size, nullptr)) return std::wstring(buffer.data());
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(std::max<size_t>(size / sizeof(wchar_t) + 1, name.size() + 1));
  }
}

inline void AddSecurityFlags(HINTERNET request, DWORD flags) {
  DWORD current = 0;
  DWORD size = sizeof(current);
  ::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &current, &size);
  current |= flags;
  ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof(current));
}

inline void SetCredentialOptions(HINTERNET handle, bool proxy, const std::wstring& user, const std::wstring& password) {
  if (!handle) return;
  DWORD userOption = proxy ? INTERNET_OPTION_PROXY_USERNAME : INTERNET_OPTION_USERNAME;
  DWORD passwordOption = proxy ? INTERNET_OPTION_PROXY_PASSWORD : INTERNET_OPTION_PASSWORD;
  ::InternetSetOptionW(handle, userOption, const_cast<wchar_t*>(user.c_str()), static_cast<DWORD>(user.size() + 1));
  ::InternetSetOptionW(handle, passwordOption, const_cast<wchar_t*>(password.c_str()),
                       static_cast<DWORD>(password.size() + 1));
}

inline // The proxy server of the system configuration ("host:port" or a list), empty when none.
std::wstring SystemProxyServer() {
  INTERNET_PER_CONN_OPTIONW option{};
  option.dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof(list);
  list.dwOptionCount = 1;
  list.pOptions = &option;
  DWORD size = sizeof(list);
  if (!::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return {};
  std::wstring server = option.Value.pszValue ? option.Value.pszValue : L"";
  if (option.Value.pszValue) ::GlobalFree(option.Value.pszValue);
  return server;
}

inline std::uint32_t FileSizeOf(HANDLE file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) return 0;
  return static_cast<std::uint32_t>(size.QuadPart);
}

inline std::wstring ReadResponseText() {
  std::vector<wchar_t> buffer(1000);
  for (;;) {
    DWORD error = 0;
    DWORD length = static_cast<DWORD>(buffer.size());
    if (::InternetGetLastResponseInfoW(&error, buffer.data(), &length))
      return std::wstring(buffer.data(), std::min<size_t>(length, buffer.size()));
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(std::max<size_t>(length + 1, buffer.size() * 2));
  }
}

struct AsyncDownloadThread::AsyncCallState {
  AsyncCallState()
      : completionEvent(::CreateEventW(nullptr, TRUE, TRUE, nullptr)),
        handleClosedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  void OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD infoLength);
  // From here on the block belongs to the library's callbacks: it deletes itself once each of the
  // given handles (null ones left out) has reported closing. The caller closes them afterwards and
  // does not touch the block again.
  void FreeAfterClosing(HINTERNET request, HINTERNET connection);

  // Asynchronous-completion block.
  std::atomic<DWORD> asyncError{0};
  std::atomic<DWORD_PTR> asyncResult{0};
  std::atomic<int> pendingKind{0};
  std::atomic<bool> completed{true};
  std::wstring responseText;  // the FTP reply of the last command
  std::atomic<HINTERNET> currentHandle{nullptr};
  UniqueHandle completionEvent;
  UniqueHandle handleClosedEvent;

  // Buffers the library writes into while a call pends.
  std::vector<BYTE> readBuffer;
  DWORD bytesRead = 0;
  DWORD bytesAvailable = 0;
  std::wstring requestHeaders;

  // Abandoned: the handles whose closing is still awaited.
  std::atomic<bool> abandoned{false};
  std::atomic<HINTERNET> awaitedClosings[2] = {nullptr, nullptr};
  std::atomic<int> closingsLeft{0};
};

template <typename Call>
Result AsyncDownloadThread::RunAsync(PendingKind kind, Call call, DWORD_PTR& value) {
  mCall->pendingKind = kind;
  mCall->asyncResult = 0;
  mCall->asyncError = 0;
  mLastCallPended = false;
  // The completion event is signalled whenever no call is pending; it is reset only once a call
  // has pended (two server round trips saved on every call that completes at once, which is most
  // reads). mCall->completed decides: a completion that comes before the reset is seen through it.
  mCall->completed = false;
  ::SetLastError(0);
  value = call();
  DWORD error = value ? 0 : ::GetLastError();
  // FtpOpenFileW pends without saying so: no handle and no error.
  bool pending = !value && (error == ERROR_IO_PENDING || (kind == kPendingFtpOpenFile && error == 0));
  if (!pending) {
    if (kind == kPendingFtpCommand || kind == kPendingConnect || kind == kPendingFtpOpenFile)
      mCall->responseText = ReadResponseText();
    if (value && (kind == kPendingConnect || kind == kPendingFtpOpenFile || kind == kPendingHttpOpenRequest))
      mCall->currentHandle = reinterpret_cast<HINTERNET>(value);
    mCall->completed = true;
    if (value) return kOk;
    return error ? error : kResultFail;
  }
  mLastCallPended = true;
  ::ResetEvent(mCall->completionEvent.Get());
  if (mCall->completed) ::SetEvent(mCall->completionEvent.Get());  // completed before the reset
  Result waited = WaitForCompletion();
  if (waited != kOk) return waited;
  value = mCall->asyncResult;
  if (value) return kOk;
  return mCall->asyncError ? mCall->asyncError.load() : kResultFail;
}

}  // namespace updater
