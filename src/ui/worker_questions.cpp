#include "ui/worker_questions.h"

#include <wininet.h>

#include "base/string_table.h"
#include "resources/string_ids.h"
#include "transfer/credentials_provider.h"
#include "transfer/download_observer.h"
#include "ui/window_classes.h"

namespace updater {

bool IsCertificateQuestion(Result code) { return code == 12037 || code == 12038 || code == 12044 || code == 12045; }

Result AskAboutCertificate(HWND owner, void* request, Result code) {
  DWORD answer = ::InternetErrorDlg(owner, static_cast<HINTERNET>(request), code,
                                    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                        FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                    nullptr);
  // The engine proceeds on 0; a dialog that asks for a retry means the same.
  return answer == ERROR_INTERNET_FORCE_RETRY ? 0 : answer;
}

Result AskForCredentials(HWND owner, void* provider) {
  if (!provider) return 0;
  return static_cast<CredentialsProvider*>(provider)->Prompt(owner) ? kObserverRetry : 0;
}

Result JoinWorkerThread(UniqueHandle& worker) {
  if (!worker) return kOk;
  HANDLE handle = worker.Get();
  while (::MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
  DWORD code = 0;
  Result result = ::GetExitCodeThread(handle, &code) ? code : ::GetLastError();
  worker.Reset();
  return result;
}

std::wstring CorruptFileQuestion(Result code) {
  return LoadStringFilled(kStrCorruptFileRestartDownload, {code == E_UPD_BAD_MD5 ? L"MD5" : L"SHA256"});
}

bool AskToRestartCorruptDownload(HWND owner, const std::wstring& title, const std::wstring& question) {
  PrepareWindowClasses();
  return ::MessageBoxW(owner, question.c_str(), title.c_str(), MB_YESNO | MB_ICONERROR) == IDYES;
}

}  // namespace updater
