// The download engine on one URL, timed from the start of Download to the file in place.
//   engine_bench <url> <destination>
// prints "bytes=<n> seconds=<s> peak_working_set=<bytes> blocks=<n> largest_block=<bytes>" (bytes
// and blocks as the observer saw the progress); exit code 1 when the download fails.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "bench_clock.h"
#include "transfer/async_download.h"

namespace {

// Counts the progress and declines every question, as an unattended caller does.
class CountingObserver : public updater::DownloadObserver {
 public:
  void BeginAction(int, std::uint32_t, const wchar_t*) override {}
  void EndAction(int, updater::Result) override {}
  // The first report after BeginAction is the resume offset; every later one is a written block.
  void SubActionPerform(std::uint32_t amount) override {
    bytes += amount;
    if (!offsetReported) {
      offsetReported = true;
      return;
    }
    ++blocks;
    largestBlock = std::max(largestBlock, amount);
  }
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  updater::Result Error(const wchar_t*, updater::Result code, void*) override {
    lastError = code;
    return 1;  // neither a retry nor a go-ahead
  }

  unsigned long long bytes = 0;
  unsigned long long blocks = 0;
  std::uint32_t largestBlock = 0;
  bool offsetReported = false;
  updater::Result lastError = updater::kOk;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: engine_bench <url> <destination>\n");
    return 2;
  }
  CountingObserver observer;
  updater::AsyncDownloadThread engine(&observer, nullptr);
  engine.Options().resume = false;
  updater::bench::Stopwatch stopwatch;
  updater::Result result = engine.Download(argv[1], argv[2]);
  double seconds = stopwatch.Seconds();
  if (result != updater::kOk) {
    std::printf("failed=%08X observer_error=%08X\n", static_cast<unsigned>(result),
                static_cast<unsigned>(observer.lastError));
    return 1;
  }
  std::printf("bytes=%llu seconds=%.3f peak_working_set=%llu blocks=%llu largest_block=%u\n", observer.bytes,
              seconds, static_cast<unsigned long long>(updater::bench::PeakWorkingSetBytes()), observer.blocks,
              static_cast<unsigned>(observer.largestBlock));
  std::fflush(stdout);
  return 0;
}
