// The engine's WinINet session: opening it, the status callback that completes pending calls, and
// closing handles (on a pool thread after a cancel, where closing would wait for the server).
#include "transfer/async_download_internal.h"

#include <memory>

namespace updater {
namespace {

DWORD WINAPI CloseHandlesWork(LPVOID parameter) {
  std::unique_ptr<std::vector<HINTERNET>> handles(static_cast<std::vector<HINTERNET>*>(parameter));
  for (HINTERNET handle : *handles)
    if (handle) ::InternetCloseHandle(handle);
  return 0;
}

// Closes the handles, in order, on a pool thread (on this one when none can be had).
void CloseOnPoolThread(std::vector<HINTERNET> handles) {
  auto work = std::make_unique<std::vector<HINTERNET>>(std::move(handles));
  if (::QueueUserWorkItem(&CloseHandlesWork, work.get(), WT_EXECUTEDEFAULT))
    work.release();
  else
    CloseHandlesWork(work.release());
}

}  // namespace

void AsyncDownloadThread::AsyncCallState::FreeAfterClosing(HINTERNET request, HINTERNET connection) {
  int count = 0;
  for (HINTERNET handle : {request, connection})
    if (handle) awaitedClosings[count++] = handle;
  closingsLeft = count;
  abandoned = true;
}

void CALLBACK AsyncDownloadThread::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                                  DWORD infoLength) {
  auto* state = reinterpret_cast<AsyncCallState*>(context);
  if (state) state->OnStatus(handle, status, info, infoLength);
}

void AsyncDownloadThread::AsyncCallState::OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD infoLength) {
  switch (status) {
    case INTERNET_STATUS_HANDLE_CLOSING:
      if (abandoned) {
        // The last notification of a handle: once every awaited handle sent it, nothing of the
        // library refers to this block any more.
        for (auto& awaited : awaitedClosings) {
          HINTERNET expected = handle;
          if (handle && awaited.compare_exchange_strong(expected, nullptr)) {
            if (--closingsLeft == 0) delete this;
            return;
          }
        }
        return;
      }
      ::SetEvent(handleClosedEvent.Get());
      return;
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      if (!info || infoLength < sizeof(INTERNET_ASYNC_RESULT)) return;
      const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
      asyncResult = result->dwResult;
      asyncError = result->dwError;
      switch (pendingKind.load()) {
        case kPendingFtpCommand:
          responseText = ReadResponseText();
          break;
        case kPendingConnect:
        case kPendingFtpOpenFile:
        case kPendingHttpOpenRequest:
          currentHandle = reinterpret_cast<HINTERNET>(result->dwResult);
          responseText = ReadResponseText();
          break;
        default:
          break;
      }
      completed = true;
      ::SetEvent(completionEvent.Get());
      return;
    }
    default:
      return;
  }
}

Result AsyncDownloadThread::WaitForCompletion() {
  while (!mCall->completed) {
    if (IsCanceled()) return E_UPD_CANCELED;
    ::WaitForSingleObject(mCall->completionEvent.Get(), kPollMilliseconds);
  }
  return kOk;
}

Result AsyncDownloadThread::InitInetConnection() {
  if (!mCall->completionEvent) mCall->completionEvent.Reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
  if (!mCall->handleClosedEvent) mCall->handleClosedEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!mCall->completionEvent || !mCall->handleClosedEvent) return ::GetLastError();
  mCall->completed = true;
  ::SetEvent(mCall->completionEvent.Get());
  DWORD access = mOptions.proxy.empty() ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_PROXY;
  mSession.Reset(::InternetOpenW(kAgentName, access, mOptions.proxy.empty() ? nullptr : mOptions.proxy.c_str(), nullptr,
                                 INTERNET_FLAG_ASYNC));
  if (!mSession) return ::GetLastError();
  if (::InternetSetStatusCallbackW(mSession.Get(), &AsyncDownloadThread::StatusCallback) ==
      INTERNET_INVALID_STATUS_CALLBACK) {
    Result error = ::GetLastError();
    mSession.Reset();
    return error;
  }
  if (mOptions.connectTimeoutMs != 0) {
    DWORD timeout = mOptions.connectTimeoutMs;
    ::InternetSetOptionW(mSession.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
  }
  return kOk;
}

void AsyncDownloadThread::CloseInternetHandle(UniqueInternetHandle& handle) {
  if (!handle) return;
  ::ResetEvent(mCall->handleClosedEvent.Get());
  ::InternetCloseHandle(handle.Release());
  // A call still pending on the handle keeps using the buffers and this object until it ends;
  // the receive time-out bounds that wait.
  ::WaitForSingleObject(mCall->completionEvent.Get(), INFINITE);
  ::WaitForSingleObject(mCall->handleClosedEvent.Get(), kHandleClosingWait);
}

void AsyncDownloadThread::CloseTransferHandles() {
  if ((mCancelSeen || !mCall->completed) && (mRequest || mConnection)) {
    CloseTransferHandlesInBackground();
    return;
  }
  CloseInternetHandle(mRequest);
  CloseInternetHandle(mConnection);
  mCall->currentHandle = nullptr;
}

void AsyncDownloadThread::CloseTransferHandlesInBackground() {
  // Under Wine, closing a request handle reads the rest of the response body first (to keep the
  // connection for reuse), and does not end a pending read or availability query, which runs
  // until the server sends something or the receive time-out passes. A cancel would wait for
  // either. The handles (and later the session) are closed on a pool thread instead, and the block the library still
  // writes into stays with them until they report closing.
  Log(kLogTrace, L"AsyncDownloadThread closes its handles in the background after the cancel.");
  AsyncCallState* released = mCall.release();
  mCall = std::make_unique<AsyncCallState>();
  HINTERNET request = mRequest.Release();
  HINTERNET connection = mConnection.Release();
  released->FreeAfterClosing(request, connection);
  CloseOnPoolThread({request, connection});
}

void AsyncDownloadThread::CloseInetConnection() {
  if (!mSession) return;
  ::InternetSetStatusCallbackW(mSession.Get(), nullptr);
  // Closing the session closes what is left under it, with the same waits as above.
  if (mCancelSeen)
    CloseOnPoolThread({mSession.Release()});
  else
    mSession.Reset();
}

void AsyncDownloadThread::ApplyReceiveTimeout(HINTERNET handle) const {
  if (!handle || mOptions.receiveTimeoutMs == 0) return;
  DWORD timeout = mOptions.receiveTimeoutMs;
  ::InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

}  // namespace updater
