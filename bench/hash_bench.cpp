// Times the file hashes of the download checks on one file:
//   hash_bench <file>
// prints "sha256=<digest> seconds=<s>" and "md5=<digest> seconds=<s>"; exit code 1 when a hash fails.
#include <windows.h>

#include <cstdio>
#include <string>

#include "transfer/file_hash.h"

namespace {

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool TimeHash(const char* label, updater::Result (*hash)(const std::wstring&, std::wstring&), const std::wstring& path) {
  std::wstring digest;
  LARGE_INTEGER start, end;
  ::QueryPerformanceCounter(&start);
  updater::Result result = hash(path, digest);
  ::QueryPerformanceCounter(&end);
  if (result != updater::kOk) {
    std::printf("%s failed=%u\n", label, static_cast<unsigned>(result));
    return false;
  }
  std::printf("%s=%ls seconds=%.3f\n", label, digest.c_str(), Seconds(start, end));
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hash_bench <file>\n");
    return 2;
  }
  bool ok = TimeHash("sha256", updater::ComputeFileSha256, argv[1]);
  ok = TimeHash("md5", updater::ComputeFileMd5, argv[1]) && ok;
  std::fflush(stdout);
  return ok ? 0 : 1;
}
