// The engine's HTTP(S) and FTP transfers: requests with redirects, certificate questions and
// credentials, FTP commands, and the read loop with reconnection and resume.
#include "transfer/async_download_internal.h"

#include "transfer/download_rules.h"

namespace updater {

Result AsyncDownloadThread::ConnectHttp(const UrlParts& firstUrl, const wchar_t* verb, std::uint32_t& offset,
                                        std::uint32_t& total) {
  const std::uint32_t requestedOffset = offset;
  UrlParts url = firstUrl;
  for (int redirects = 0;; ++redirects) {
    std::wstring location;
    Result result = OpenHttpRequest(url, verb, offset, total, location);
    if (result != kOk || location.empty()) return result;
    CloseTransferHandles();
    if (redirects == kMaxRedirects) {
      LogError(L"Stopped after " + std::to_wstring(kMaxRedirects) + L" redirects at " + url.host + url.path + L".",
               kHttpRedirectFailed);
      return kHttpRedirectFailed;
    }
    std::wstring next = ResolveRedirectLocation(url.text, location);
    UrlParts parts;
    if (next.empty() || CrackUrl(next, parts) != kOk ||
        (parts.scheme != INTERNET_SCHEME_HTTP && parts.scheme != INTERNET_SCHEME_HTTPS)) {
      LogError(L"Cannot follow the redirect from " + url.host + url.path + L" to " + location + L".",
               kHttpRedirectFailed);
      return kHttpRedirectFailed;
    }
    LogFormat(kLogTrace, L"Redirected to %ls%ls", parts.host.c_str(), parts.path.c_str());
    url = std::move(parts);
    offset = requestedOffset;
    total = 0;
  }
}

Result AsyncDownloadThread::OpenHttpRequest(const UrlParts& url, const wchar_t* verb, std::uint32_t& offset,
                                            std::uint32_t& total, std::wstring& redirectTo) {
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingConnect,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::InternetConnectW(
            mSession.Get(), url.host.c_str(), url.port, url.user.empty() ? nullptr : url.user.c_str(),
            url.password.empty() ? nullptr : url.password.c_str(), INTERNET_SERVICE_HTTP, 0,
            CallContext()));
      },
      value);
  if (result != kOk) return result;
  mConnection.Reset(reinterpret_cast<HINTERNET>(value));

  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  DWORD flags = kRequestFlags | (url.scheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
  result = RunAsync(
      kPendingHttpOpenRequest,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::HttpOpenRequestW(mConnection.Get(), verb, url.path.c_str(),
                                                              L"HTTP/1.0", nullptr, acceptTypes, flags,
                                                              CallContext()));
      },
      value);
  if (result != kOk) return result;
  mRequest.Reset(reinterpret_cast<HINTERNET>(value));
  if (url.scheme == INTERNET_SCHEME_HTTPS && mOptions.ignoreCertificateErrors) AddSecurityFlags(mRequest.Get(), kIgnoreUpFrontFlags);
  ApplyReceiveTimeout(mRequest.Get());
  mCall->requestHeaders = BuildRequestHeaders(offset, mOptions.ifModifiedSince, mOptions.ifNoneMatch);
  result = SendHttpRequest(url, offset, total, redirectTo);
  if (result != kOk) CloseInternetHandle(mRequest);
  return result;
}

Result AsyncDownloadThread::SendHttpRequest(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total,
                                            std::wstring& redirectTo) {
  int certificateResends = 0;
  bool restartedWithoutRange = false;
  for (;;) {
    DWORD_PTR sent = 0;
    Result sendResult = RunAsync(
        kPendingHttpSendRequest,
        [&] {
          return static_cast<DWORD_PTR>(::HttpSendRequestW(
              mRequest.Get(), mCall->requestHeaders.empty() ? nullptr : mCall->requestHeaders.c_str(),
              mCall->requestHeaders.empty() ? 0 : static_cast<DWORD>(-1L), nullptr, 0));
        },
        sent);
    if (sendResult == E_UPD_CANCELED) return sendResult;
    if (sendResult != kOk) {
      if (!IsCertificateError(sendResult) || mOptions.failOnCertificateErrors) return sendResult;
      if (++certificateResends > kMaxCertificateResends) return sendResult;
      if (!mOptions.acceptCertificateErrors) {
        if (Ask(nullptr, sendResult, mRequest.Get()) != 0) return sendResult;
        // The headers stay attached to the request; the observer's "proceed" takes effect even
        // when it did not change the request's security flags itself.
        mCall->requestHeaders.clear();
      }
      AddSecurityFlags(mRequest.Get(), kAcceptCertificateFlags);
      continue;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::HttpQueryInfoW(mRequest.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      return ::GetLastError();
    mHttpStatus = status;
    DWORD contentLength = 0;
    QueryNumber(mRequest.Get(), HTTP_QUERY_CONTENT_LENGTH, contentLength);
    if (mOptions.queryLastModified && status != HTTP_STATUS_NOT_MODIFIED) {
      SYSTEMTIME lastModified{};
      size = sizeof(lastModified);
      if (!::HttpQueryInfoW(mRequest.Get(), HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &lastModified,
                            &size, nullptr))
        lastModified = SYSTEMTIME{};
      mLastModified = lastModified;
      mETag = QueryHeader(mRequest.Get(), L"ETag");
    }
    if (IsBusyStatus(status)) mRetryAfter = QueryHeader(mRequest.Get(), L"Retry-After");
    if (IsRedirectStatus(status)) {
      redirectTo = QueryText(mRequest.Get(), HTTP_QUERY_LOCATION);
      if (!redirectTo.empty()) return kOk;
    }
    std::uint32_t rangeTotal = 0;
    if (status == 416) rangeTotal = ContentRangeTotal(QueryText(mRequest.Get(), HTTP_QUERY_CONTENT_RANGE));

    HttpDecision decision = DecideHttpStatus(status, contentLength, rangeTotal, offset);
    switch (decision.outcome) {
      case HttpOutcome::kTransfer:
        offset = decision.offset;
        total = decision.total;
        return kOk;
      case HttpOutcome::kFail:
        return decision.result;
      case HttpOutcome::kRestartWithoutRange:
        if (restartedWithoutRange) return kInetInvalidServerResponse;
        restartedWithoutRange = true;
        offset = 0;
        ::HttpAddRequestHeadersW(mRequest.Get(), L"Range:", static_cast<DWORD>(-1L), HTTP_ADDREQ_FLAG_REPLACE);
        mCall->requestHeaders = BuildRequestHeaders(0, mOptions.ifModifiedSince, mOptions.ifNoneMatch);
        continue;
      case HttpOutcome::kCredentials: {
        bool proxy = status == HTTP_STATUS_PROXY_AUTH_REQ;
        std::wstring realm = RealmFromAuthenticateHeader(
            QueryText(mRequest.Get(), proxy ? HTTP_QUERY_PROXY_AUTHENTICATE : HTTP_QUERY_WWW_AUTHENTICATE));
        std::wstring proxyName;
        if (proxy) proxyName = ProxyHostName(mOptions.proxy.empty() ? SystemProxyServer() : mOptions.proxy);
        std::wstring user, password;
        if (!SupplyCredentials(mRequest.Get(), url.host, realm, proxy, proxyName, user, password))
          return E_UPD_AUTH_REQUIRED;
        continue;
      }
    }
  }
}

Result AsyncDownloadThread::FtpCommand(const std::wstring& command) {
  DWORD_PTR value = 0;
  mCall->responseText.clear();
  return RunAsync(
      kPendingFtpCommand,
      [&] {
        return static_cast<DWORD_PTR>(::FtpCommandW(mConnection.Get(), FALSE, FTP_TRANSFER_TYPE_ASCII, command.c_str(),
                                                    CallContext(), nullptr));
      },
      value);
}

Result AsyncDownloadThread::ConnectFtp(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total) {
  std::wstring user = url.user;
  std::wstring password = url.password;
  DWORD_PTR value = 0;
  for (;;) {
    Result result = RunAsync(
        kPendingConnect,
        [&] {
          return reinterpret_cast<DWORD_PTR>(::InternetConnectW(
              mSession.Get(), url.host.c_str(), url.port, user.empty() ? nullptr : user.c_str(),
              password.empty() ? nullptr : password.c_str(), INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE,
              CallContext()));
        },
        value);
    if (result == 12013 || result == 12014 || result == 12015) {
      if (!SupplyCredentials(nullptr, url.host, L"FTP Server", false, L"", user, password)) return result;
      continue;
    }
    if (result != kOk) return result;
    break;
  }
  mConnection.Reset(reinterpret_cast<HINTERNET>(value));
  ApplyReceiveTimeout(mConnection.Get());

  // Strict servers refuse REST and SIZE in ASCII mode.
  Result result = FtpCommand(L"TYPE I");
  if (result == E_UPD_CANCELED) return result;
  std::uint32_t announcedSize = 0;
  result = FtpCommand(L"SIZE " + url.path);
  if (result == E_UPD_CANCELED) return result;
  if (result == kOk) announcedSize = FtpSizeFromReply(mCall->responseText);
  if (mOptions.resume && offset > 0) {
    result = FtpCommand(L"REST " + std::to_wstring(offset));
    if (result == E_UPD_CANCELED) return result;
    if (result != kOk || FtpReplyCode(mCall->responseText) != 350) offset = 0;
  } else {
    offset = 0;
  }

  result = RunAsync(
      kPendingFtpOpenFile,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::FtpOpenFileW(mConnection.Get(), url.path.c_str(), GENERIC_READ,
                                                          kFtpTransferBinaryReload, CallContext()));
      },
      value);
  if (result != kOk) return result;
  mRequest.Reset(reinterpret_cast<HINTERNET>(value));
  ApplyReceiveTimeout(mRequest.Get());
  DWORD high = 0;
  DWORD low = ::FtpGetFileSize(mRequest.Get(), &high);
  total = (low == INVALID_FILE_SIZE || low == 0) ? announcedSize : low;
  if (total != 0 && offset >= total) {
    CloseInternetHandle(mRequest);
    return E_UPD_PART_COMPLETE;
  }
  return kOk;
}

Result AsyncDownloadThread::QueryAvailable(DWORD& available) {
  mCall->bytesAvailable = 0;
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingQueryDataAvailable,
      [&] { return static_cast<DWORD_PTR>(::InternetQueryDataAvailable(mRequest.Get(), &mCall->bytesAvailable, 0, 0)); },
      value);
  // Completed later, the count comes in the completion's error field.
  available = (result == kOk && mLastCallPended && mCall->asyncError != 0) ? mCall->asyncError.load() : mCall->bytesAvailable;
  return result;
}

Result AsyncDownloadThread::ReadBlock(DWORD wanted, DWORD& read) {
  mCall->bytesRead = 0;
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingRead,
      [&] {
        return static_cast<DWORD_PTR>(::InternetReadFile(mRequest.Get(), mCall->readBuffer.data(), wanted, &mCall->bytesRead));
      },
      value);
  read = mCall->bytesRead;
  return result;
}

Result AsyncDownloadThread::TransferLoop(std::uint32_t total, std::uint32_t offset) {
  if (mObserver) mObserver->BeginAction(PAID_DOWNLOAD_FILE, total, mDestination.c_str());
  if (IsCanceled()) return E_UPD_CANCELED;
  if (total != 0 && total == offset) {
    // The part file already holds the whole file: it only has to take its final name.
    CloseTransferHandles();
    Result finished = FinishPartFile();
    if (finished != kOk) return finished;
    if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
    return kOk;
  }
  Result result = CreateSubFolders(FolderOfPath(mPartPath));
  if (result != kOk) {
    TraceCode(L"CreateSubFolders() failed", result);
    Report(nullptr, result);
    return result;
  }
  UniqueFile file;
  result = OpenPartFile(offset, file);
  if (result != kOk) {
    TraceCode(L"Creation of file to download on disk failed", result);
    if (IsCanceled()) return E_UPD_CANCELED;
    Report(nullptr, result);
    return result;
  }
  if (mObserver) mObserver->SubActionPerform(offset);
  mCall->readBuffer.resize(kReadBufferSize);

  // Reconnections that bring no new byte are limited, so that a server that keeps failing at the
  // same place cannot hold the download for ever.
  std::uint32_t sizeAtLastReconnect = offset;
  int reconnectsWithoutProgress = 0;
  std::uint64_t partSize = offset;
  for (;;) {
    DWORD available = 0;
    DWORD read = 0;
    result = QueryAvailable(available);
    if (result == kOk && available != 0) result = ReadBlock(std::min<DWORD>(available, kReadBufferSize), read);
    if (result == E_UPD_CANCELED) return result;
    result = NormalizeReadError(result);

    Result reconnectReason = kOk;
    if (result != kOk) {
      if (!IsReconnectableReadError(result) || !mReconnectAllowed) {
        Report(nullptr, result);
        return result;
      }
      reconnectReason = result;
    } else if (available == 0 || read == 0) {
      Log(kLogTrace, L"AsyncDownloadThread read 0 bytes.");
      if (IsTransferComplete(total, FileSizeOf(file.Get()))) break;
      if (!mReconnectAllowed) {
        Report(nullptr, E_UPD_TIMEOUT);
        return E_UPD_TIMEOUT;
      }
      reconnectReason = E_UPD_TIMEOUT;
    } else {
      if (ExceedsBound(mBound, partSize, read)) return StopAtBound(file, partSize + read);
      DWORD written = 0;
      if (!::WriteFile(file.Get(), mCall->readBuffer.data(), read, &written, nullptr) || written != read) {
        Result error = ::GetLastError();
        if (error == kOk) error = ERROR_HANDLE_DISK_FULL;
        TraceCode(L"Failed to saved in file the bytes read", error);
        Report(nullptr, error);
        return error;
      }
      partSize += written;
      if (mObserver) mObserver->SubActionPerform(written);
      WaitWhilePaused();
      if (IsCanceled()) return E_UPD_CANCELED;
      continue;
    }

    // Reconnect and continue where the part file ends.
    CloseTransferHandles();
    ::FlushFileBuffers(file.Get());
    std::uint32_t size = FileSizeOf(file.Get());
    partSize = size;
    if (size > sizeAtLastReconnect) {
      sizeAtLastReconnect = size;
      reconnectsWithoutProgress = 0;
    } else if (++reconnectsWithoutProgress > mOptions.retryAttempts) {
      Report(nullptr, reconnectReason);
      return reconnectReason;
    }
    mRestarting = true;
    std::uint32_t newOffset = mOptions.resume ? size : 0;
    std::uint32_t newTotal = 0;
    bool local = false;
    result = OpenUrl(newOffset, newTotal, local);
    mRestarting = false;
    if (result != kOk) {
      if (result != E_UPD_CANCELED && result != E_UPD_NOT_MODIFIED) Report(nullptr, result);
      return result;
    }
    if (!ReconnectOffsetAccepted(size, newOffset)) {
      Report(nullptr, kInetTimeout);
      return kInetTimeout;
    }
    total = newTotal;
  }

  file.Reset();
  CloseTransferHandles();
  result = FinishPartFile();
  if (result != kOk) return result;
  if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
  return kOk;
}

}  // namespace updater
