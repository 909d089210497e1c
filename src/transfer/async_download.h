// The download engine: fetches one file from an ordered list of mirror URLs (HTTP, HTTPS, FTP,
// file:// and UNC) into destination + ".part" and renames it into place when complete. WinINet
// runs in asynchronous mode; every call that may pend is waited for in 10 ms steps so that the
// observer's pause and cancel answers take effect at once.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/win_handles.h"
#include "transfer/credentials_provider.h"
#include "transfer/download_observer.h"
#include "transfer/download_rules.h"

namespace updater {

// How one engine downloads. Every field may be changed between downloads.
struct DownloadOptions {
  std::wstring proxy;                // empty: the system's proxy configuration; else a named proxy
  int retryAttempts = kDefaultRetryAttempts;  // connection attempts after the first; negative: the default
  unsigned connectTimeoutMs = 0;     // 0: the library's default
  unsigned receiveTimeoutMs = 60000; // a stalled server fails a read after this long; 0: never
  SYSTEMTIME ifModifiedSince{};      // all zero: no conditional request
  std::wstring ifNoneMatch;          // an entity tag for "If-None-Match"; empty: none
  bool queryLastModified = false;    // keep the server's Last-Modified time and ETag
  bool resume = true;                // continue a part file where it ends
  // The part file grants full access to Everyone and LocalSystem (per-machine downloads).
  bool securePartFile = false;
  // A complete download stays in destination + ".part" for the caller to check and move into place,
  // so that no complete-looking file exists before it was verified.
  bool keepCompletePartFile = false;
  // 0 means unknown; otherwise a server that announces another size fails with 0xE0000023, and so
  // does a transfer that would write more than `expectedSize` bytes (the part file is deleted).
  std::uint32_t expectedSize = 0;
  // Without an expected size: a download larger than `sizeLimit` (announced or transferred) stops,
  // its part file is deleted and it fails with `sizeLimitCode`. 0 means unbounded.
  std::uint32_t sizeLimit = 0;
  Result sizeLimitCode = kOk;
  // Certificate errors: ignored without asking the observer (accept), switched off before the
  // request is sent (ignore), or failing without asking the observer (fail); otherwise the observer
  // is asked.
  bool acceptCertificateErrors = false;
  bool ignoreCertificateErrors = false;
  bool failOnCertificateErrors = false;
};

class AsyncDownloadThread {
 public:
  AsyncDownloadThread(DownloadObserver* observer, CredentialsProvider* credentials, DownloadOptions options = {});
  ~AsyncDownloadThread();
  AsyncDownloadThread(const AsyncDownloadThread&) = delete;
  AsyncDownloadThread& operator=(const AsyncDownloadThread&) = delete;

  DownloadOptions& Options() { return mOptions; }
  const DownloadOptions& Options() const { return mOptions; }
  void SetObserver(DownloadObserver* observer);
  // Cancels the running download without asking the observer; any thread may call it.
  void SetForcedCancel(bool cancel);

  // Leaves the complete file at `destination` or returns an error code.
  Result Download(const std::vector<std::wstring>& urls, const std::wstring& destination);
  Result Download(const std::wstring& url, const std::wstring& destination);
  // The server's Last-Modified time of the last download (all zero when unknown).
  SYSTEMTIME GetLastModified() const;
  // The server's ETag of the last download (empty when it sent none or was not asked).
  const std::wstring& GetETag() const { return mETag; }
  // The "Retry-After" of a busy answer (429, 5xx) of the last download; empty when none.
  const std::wstring& GetRetryAfter() const { return mRetryAfter; }
  std::uint32_t GetHttpStatus() const;

  // The credentials step: offers the provider's next known pair, else asks the observer (which
  // prompts the user) and offers the typed pair. A pair is set on `handle` when there is one.
  bool SupplyCredentials(HINTERNET handle, const std::wstring& host, const std::wstring& realm, bool proxy,
                         const std::wstring& proxyName, std::wstring& user, std::wstring& password);

 protected:
  // Kinds of operation that may complete asynchronously.
  enum PendingKind : int {
    kPendingConnect = 0,
    kPendingFtpOpenFile = 2,
    kPendingRead = 3,
    kPendingFtpCommand = 4,
    kPendingHttpOpenRequest = 6,
    kPendingHttpSendRequest = 7,
    kPendingQueryDataAvailable = 8,
  };

  bool IsCanceled();
  bool IsPaused();
  // Tells the observer of a failure whose outcome is decided; its answer is not needed.
  void Report(const wchar_t* url, Result code);
  // Asks the observer (a certificate or credentials question) and returns its answer; without one
  // the code comes back unchanged.
  Result Ask(const wchar_t* url, Result code, void* context);

 private:
  struct UrlParts {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring user;
    std::wstring password;
    std::wstring path;  // path plus extra information
    std::wstring text;  // the whole URL, the base of a relative redirect
  };

  // What the library's status callback writes into, and the buffers a pending call fills; it is the
  // context value of every handle the engine opens.
  struct AsyncCallState;

  static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD infoLength);
  DWORD_PTR CallContext() const { return reinterpret_cast<DWORD_PTR>(mCall.get()); }

  Result CrackUrl(const std::wstring& url, UrlParts& parts) const;
  Result InitInetConnection();
  void CloseInetConnection();
  // Closes one handle of the library and waits until the library let go of it.
  void CloseInternetHandle(UniqueInternetHandle& handle);
  // Closes the request and connection handles and waits until the library let go of them; after a
  // cancel, or with a call still pending on them, without waiting (the engine goes on with a new
  // state block and leaves the old one to the handles).
  void CloseTransferHandles();
  void CloseTransferHandlesInBackground();

  // Runs a call that may pend; `value` receives the handle or success flag.
  template <typename Call>
  Result RunAsync(PendingKind kind, Call call, DWORD_PTR& value);
  Result WaitForCompletion();
  Result CreateSubFolders(const std::wstring& folder) const;
  HANDLE CreatePartFile(DWORD disposition) const;

  Result DownloadOpened();
  Result OpenUrl(std::uint32_t& offset, std::uint32_t& total, bool& local);
  // Follows up to kMaxRedirects redirects itself (automatic redirection is off).
  Result ConnectHttp(const UrlParts& url, const wchar_t* verb, std::uint32_t& offset, std::uint32_t& total);
  // One request; a redirect answer leaves its Location in `redirectTo`.
  Result OpenHttpRequest(const UrlParts& url, const wchar_t* verb, std::uint32_t& offset, std::uint32_t& total,
                         std::wstring& redirectTo);
  Result SendHttpRequest(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total, std::wstring& redirectTo);
  // The download passed its size bound: the part file goes, and the bound's code is the result.
  Result StopAtBound(UniqueFile& file, std::uint64_t bytes);
  Result ConnectFtp(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total);
  Result FtpCommand(const std::wstring& command);
  Result ConnectLocal(const UrlParts& url, std::uint32_t& total);
  Result CopyLocalFile(std::uint32_t total);
  Result TransferLoop(std::uint32_t total, std::uint32_t offset);
  Result QueryAvailable(DWORD& available);
  Result ReadBlock(DWORD wanted, DWORD& read);
  Result FinishPartFile();
  Result OpenPartFile(std::uint32_t offset, UniqueFile& file);
  void WaitWhilePaused();
  void ApplyReceiveTimeout(HINTERNET handle) const;

  static DWORD CALLBACK CopyProgress(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER streamSize,
                                     LARGE_INTEGER streamTransferred, DWORD streamNumber, DWORD reason,
                                     HANDLE source, HANDLE destination, LPVOID data);

  // Handles of the current Download, in the order they are opened.
  UniqueInternetHandle mSession;
  UniqueInternetHandle mConnection;
  UniqueInternetHandle mRequest;

  DownloadObserver* mObserver = nullptr;
  std::atomic<bool> mRestarting{false};
  std::atomic<bool> mForcedCancel{false};
  bool mCancelSeen = false;  // IsCanceled answered true during this Download
  CredentialsProvider* mCredentials = nullptr;

  std::wstring mDestination;
  std::wstring mPartPath;
  std::vector<std::wstring> mUrls;
  std::vector<UrlParts> mCrackedUrls;
  std::size_t mUrlIndex = 0;
  std::wstring mLocalSource;  // the path of a file:// or UNC source

  std::unique_ptr<AsyncCallState> mCall;
  bool mLastCallPended = false;

  DownloadOptions mOptions;
  SYSTEMTIME mLastModified{};
  std::wstring mETag;
  std::wstring mRetryAfter;
  SizeBound mBound;
  bool mReconnectAllowed = true;
  std::uint32_t mHttpStatus = 0;

  // Local copies: progress bookkeeping of the copy routine.
  bool mCopyBegun = false;
  std::uint32_t mCopyReported = 0;
  DWORD mCopyLastReportTick = 0;
  std::uint32_t mCopyTotal = 0;
};

}  // namespace updater
