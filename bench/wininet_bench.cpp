// The plain WinINet read loop the download engine is measured against: synchronous session,
// InternetOpenUrlW, InternetReadFile with the engine's 51,200-byte buffer, written to a file.
//   wininet_bench <url> <destination> [qda]
// With "qda" every read asks InternetQueryDataAvailable first and reads no more than it reports,
// as the engine's loop does, which tells the cost of that pattern apart from the engine's own.
// prints "bytes=<n> seconds=<s> peak_working_set=<bytes>"; exit code 1 when the download fails.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "base/win_handles.h"
#include "bench_clock.h"

namespace {

constexpr DWORD kBufferSize = 51200;

int Fail(const char* step) {
  std::printf("failed=%s error=%lu\n", step, ::GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && !(argc == 4 && std::wcscmp(argv[3], L"qda") == 0)) {
    std::fprintf(stderr, "usage: wininet_bench <url> <destination> [qda]\n");
    return 2;
  }
  const bool askAvailable = argc == 4;
  updater::bench::Stopwatch stopwatch;
  updater::UniqueInternetHandle session(
      ::InternetOpenW(L"KestruneBench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) return Fail("InternetOpenW");
  updater::UniqueInternetHandle request(::InternetOpenUrlW(
      session.Get(), argv[1], nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
  if (!request) return Fail("InternetOpenUrlW");
  updater::UniqueFile file(
      ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("CreateFileW");

  std::vector<BYTE> buffer(kBufferSize);
  unsigned long long total = 0;
  unsigned long long reads = 0;
  for (;;) {
    DWORD wanted = kBufferSize;
    if (askAvailable) {
      DWORD available = 0;
      if (!::InternetQueryDataAvailable(request.Get(), &available, 0, 0)) return Fail("InternetQueryDataAvailable");
      if (available == 0) break;
      wanted = std::min(available, kBufferSize);
    }
    DWORD read = 0;
    if (!::InternetReadFile(request.Get(), buffer.data(), wanted, &read)) return Fail("InternetReadFile");
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file.Get(), buffer.data(), read, &written, nullptr) || written != read) return Fail("WriteFile");
    total += read;
    ++reads;
  }
  file.Reset();
  double seconds = stopwatch.Seconds();
  std::printf("bytes=%llu seconds=%.3f peak_working_set=%llu blocks=%llu\n", total, seconds,
              static_cast<unsigned long long>(updater::bench::PeakWorkingSetBytes()), reads);
  std::fflush(stdout);
  return 0;
}
