// What every window that runs a worker shares (the wizard's progress page, the small progress
// windows): the questions a worker's download asks the user, answered the same way (each call runs
// on the window's thread and returns the answer for the download engine), and the wait for the
// worker's end.
#pragma once

#include <windows.h>

#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

// WinINet's certificate errors that the user may accept for this request.
bool IsCertificateQuestion(Result code);
// The system's Internet error dialog for `request`: 0 proceeds, anything else fails the request.
Result AskAboutCertificate(HWND owner, void* request, Result code);
// The credentials dialog of `provider` (a CredentialsProvider): kObserverRetry when confirmed, else 0.
Result AskForCredentials(HWND owner, void* provider);

// Waits for a window's worker thread to end while answering the messages it sends to this thread
// (its reports), then gives its exit code (or the error of reading it) and closes the handle.
Result JoinWorkerThread(UniqueHandle& worker);

// A download that failed its MD5 or SHA-256 check: the question whether to download it again.
std::wstring CorruptFileQuestion(Result code);
// Asks it in an error box over `owner`: true for Yes.
bool AskToRestartCorruptDownload(HWND owner, const std::wstring& title, const std::wstring& question);

}  // namespace updater
