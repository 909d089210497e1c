// Test tool: downloads one file with the download engine and prints what the observer saw.
// Usage: fetch [options] <destination> <url> [<mirror url>...]
// Options: --no-resume, --attempts N, --connect-timeout MS, --receive-timeout MS, --expected N,
//   --ims YYYY-MM-DDTHH:MM:SS, --query-lm, --cancel-after N, --pause-after N --pause-ms MS,
//   --cancel-in-pause, --cert-answer N, --fail-cert, --accept-cert, --ignore-cert, --proxy TEXT,
//   --secure-part, --cred USER:PASSWORD (a known pair, repeatable), --typed USER:PASSWORD (the pair
//   "typed" when the observer is asked for credentials), --forced-cancel-after N (the owner forces a
//   cancel once N bytes were reported), --log PATH (trace log of the engine), --no-provider (the
//   engine gets no credentials provider), --cancel-at-ms MS (the observer answers "cancelled" from MS
//   milliseconds after the download started). After any cancel the time from the observer's first
//   "cancelled" answer to the engine's return is printed as "cancel_to_return_ms".
// Output lines: begin/offset/end/error/received/status/lastmodified/elapsed, then "result=0x%08X".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "support/tool_support.h"
#include "transfer/async_download.h"
#include "transfer/download_rules.h"

namespace {

using updater::Result;

class ListCredentials : public updater::CredentialsProvider {
 public:
  std::vector<std::pair<std::wstring, std::wstring>> known;
  std::pair<std::wstring, std::wstring> typed;
  bool hasTyped = false;

  void ResetCursor() override { cursor_ = 0; }
  bool GetStored(std::wstring& user, std::wstring& password) override {
    if (cursor_ >= known.size()) return false;
    user = known[cursor_].first;
    password = known[cursor_].second;
    std::printf("offered %ls\n", user.c_str());
    return true;
  }
  bool GetEntered(std::wstring& user, std::wstring& password) override {
    if (!entered_) return false;
    user = typed.first;
    password = typed.second;
    return true;
  }
  void Advance() override {
    if (cursor_ < known.size()) ++cursor_;
  }
  void SetRealm(const std::wstring& realm) override { realm_ = realm; }
  void SetProxyName(const std::wstring& proxyName) override { proxyName_ = proxyName; }
  void SetHost(const std::wstring& host) override { host_ = host; }
  bool Prompt(HWND) override {
    std::printf("prompt host=%ls realm=%ls proxy=%ls\n", host_.c_str(), realm_.c_str(), proxyName_.c_str());
    entered_ = hasTyped;
    return hasTyped;
  }

 private:
  size_t cursor_ = 0;
  bool entered_ = false;
  std::wstring realm_, proxyName_, host_;
};

double MillisecondsSince(const LARGE_INTEGER& since) {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - since.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

class PrintingObserver : public updater::DownloadObserver {
 public:
  unsigned long long cancelAfter = 0;  // 0: never
  unsigned long long forcedCancelAfter = 0;
  updater::AsyncDownloadThread* engine = nullptr;
  unsigned long long pauseAfter = 0;   // 0: never
  DWORD pauseMilliseconds = 0;
  bool cancelInPause = false;
  Result certificateAnswer = 1;
  double cancelAtMilliseconds = 0;  // 0: never
  LARGE_INTEGER started{};
  LARGE_INTEGER firstCancelAnswer{};

  void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) override {
    std::printf("begin %d %u %ls\n", actionId, totalCount, name ? name : L"-");
    firstProgress_ = true;
    progress_ = 0;
  }
  void EndAction(int actionId, Result state) override { std::printf("end %d 0x%X\n", actionId, state); }
  void SubActionPerform(std::uint32_t amount) override {
    if (firstProgress_) std::printf("offset %u\n", amount);
    firstProgress_ = false;
    progress_ += amount;
    received_ += amount;
    if (forcedCancelAfter != 0 && progress_ >= forcedCancelAfter && engine) engine->SetForcedCancel(true);
  }
  bool IsCanceled() override {
    bool cancel = (cancelAtMilliseconds != 0 && MillisecondsSince(started) >= cancelAtMilliseconds) ||
                  (cancelAfter != 0 && progress_ >= cancelAfter) ||
                  (cancelInPause && pauseStarted_ != 0 && ::GetTickCount() - pauseStarted_ > 200);
    if (cancel && firstCancelAnswer.QuadPart == 0) ::QueryPerformanceCounter(&firstCancelAnswer);
    return cancel;
  }
  bool IsPaused() override {
    if (pauseAfter == 0 || progress_ < pauseAfter || pauseDone_) return false;
    if (pauseStarted_ == 0) {
      pauseStarted_ = ::GetTickCount();
      std::printf("paused\n");
    }
    if (::GetTickCount() - pauseStarted_ >= pauseMilliseconds) {
      pauseDone_ = true;
      std::printf("resumed\n");
      return false;
    }
    return true;
  }
  Result Error(const wchar_t* url, Result code, void* context) override {
    std::printf("error %ls 0x%X\n", url ? url : L"-", code);
    if (code == updater::E_UPD_AUTH_REQUIRED && context)
      return static_cast<updater::CredentialsProvider*>(context)->Prompt(nullptr) ? updater::kObserverRetry : 0;
    if (updater::IsCertificateError(code)) return certificateAnswer;
    return 0;
  }
  unsigned long long Received() const { return received_; }

 private:
  bool firstProgress_ = true;
  unsigned long long progress_ = 0;
  unsigned long long received_ = 0;
  DWORD pauseStarted_ = 0;
  bool pauseDone_ = false;
};

std::pair<std::wstring, std::wstring> SplitPair(const std::wstring& text) {
  size_t colon = text.find(L':');
  if (colon == std::wstring::npos) return {text, L""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  PrintingObserver observer;
  ListCredentials credentials;
  bool withProvider = true;
  for (int i = 1; i < argc; ++i)
    if (std::wstring(argv[i]) == L"--no-provider") withProvider = false;
  updater::AsyncDownloadThread engine(&observer, withProvider ? &credentials : nullptr);
  observer.engine = &engine;
  std::vector<std::wstring> positional;
  tools::Arguments arguments(argc, argv);
  while (arguments.More()) {
    std::wstring arg = arguments.Next();
    auto next = [&arguments] { return arguments.Next(); };
    if (arg == L"--no-resume") engine.Options().resume = false;
    else if (arg == L"--attempts") engine.Options().retryAttempts = _wtoi(next().c_str());
    else if (arg == L"--connect-timeout") engine.Options().connectTimeoutMs = wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--receive-timeout") engine.Options().receiveTimeoutMs = wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--expected") engine.Options().expectedSize = wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--ims") {
      SYSTEMTIME time{};
      unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
      swscanf(next().c_str(), L"%u-%u-%uT%u:%u:%u", &y, &mo, &d, &h, &mi, &s);
      time.wYear = static_cast<WORD>(y);
      time.wMonth = static_cast<WORD>(mo);
      time.wDay = static_cast<WORD>(d);
      time.wHour = static_cast<WORD>(h);
      time.wMinute = static_cast<WORD>(mi);
      time.wSecond = static_cast<WORD>(s);
      engine.Options().ifModifiedSince = time;
    } else if (arg == L"--query-lm") engine.Options().queryLastModified = true;
    else if (arg == L"--cancel-after") observer.cancelAfter = wcstoull(next().c_str(), nullptr, 10);
    else if (arg == L"--cancel-at-ms") observer.cancelAtMilliseconds = _wtof(next().c_str());
    else if (arg == L"--forced-cancel-after") observer.forcedCancelAfter = wcstoull(next().c_str(), nullptr, 10);
    else if (arg == L"--log") {
      tools::LogEverythingTo(next());
    } else if (arg == L"--pause-after") observer.pauseAfter = wcstoull(next().c_str(), nullptr, 10);
    else if (arg == L"--pause-ms") observer.pauseMilliseconds = wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--cancel-in-pause") observer.cancelInPause = true;
    else if (arg == L"--cert-answer") observer.certificateAnswer = wcstoul(next().c_str(), nullptr, 0);
    else if (arg == L"--fail-cert") engine.Options().failOnCertificateErrors = true;
    else if (arg == L"--accept-cert") engine.Options().acceptCertificateErrors = true;
    else if (arg == L"--ignore-cert") engine.Options().ignoreCertificateErrors = true;
    else if (arg == L"--proxy") engine.Options().proxy = next();
    else if (arg == L"--secure-part") engine.Options().securePartFile = true;
    else if (arg == L"--no-provider") continue;
    else if (arg == L"--cred") credentials.known.push_back(SplitPair(next()));
    else if (arg == L"--typed") {
      credentials.typed = SplitPair(next());
      credentials.hasTyped = true;
    } else positional.push_back(arg);
  }
  if (positional.size() < 2) {
    std::fprintf(stderr, "usage: fetch [options] <destination> <url>...\n");
    return 2;
  }
  std::wstring destination = positional[0];
  std::vector<std::wstring> urls(positional.begin() + 1, positional.end());
  if (urls.size() == 1 && urls[0] == L"-") urls.clear();
  DWORD started = ::GetTickCount();
  ::QueryPerformanceCounter(&observer.started);
  Result result = engine.Download(urls, destination);
  if (observer.firstCancelAnswer.QuadPart != 0)
    std::printf("cancel_to_return_ms %.1f\n", MillisecondsSince(observer.firstCancelAnswer));
  std::printf("received %llu\n", observer.Received());
  std::printf("status %u\n", engine.GetHttpStatus());
  SYSTEMTIME lastModified = engine.GetLastModified();
  std::printf("lastmodified %04u-%02u-%02uT%02u:%02u:%02u\n", lastModified.wYear, lastModified.wMonth,
              lastModified.wDay, lastModified.wHour, lastModified.wMinute, lastModified.wSecond);
  std::printf("elapsed %lu\n", ::GetTickCount() - started);
  std::printf("result=0x%08X\n", result);
  std::fflush(stdout);
  return static_cast<int>(result);
}
