#include "catalogue/rollout.h"

#include <algorithm>
#include <cwchar>

namespace updater {

std::uint32_t RolloutShare(std::uint32_t percent, std::uint32_t days, const UpdateDate& releaseDate, FileTime64 now,
                           bool* rampIgnored) {
  if (rampIgnored) *rampIgnored = false;
  std::uint32_t share = std::min(percent, 100u) * 100u;
  if (days == 0) return share;
  FileTime64 releaseEnd = EndOfDay(releaseDate.day, releaseDate.month, releaseDate.year);
  if (releaseEnd == 0) {
    if (rampIgnored) *rampIgnored = true;
    return share;
  }
  // Day 1 is the release day itself (in UTC).
  FileTime64 releaseStart = releaseEnd - kFileTimeTicksPerDay;
  if (now < releaseStart) return 0;
  std::uint64_t day = (now - releaseStart) / kFileTimeTicksPerDay + 1;
  std::uint64_t ramp = std::min<std::uint64_t>(kRolloutBuckets, day * kRolloutBuckets / days);
  return std::min(share, static_cast<std::uint32_t>(ramp));
}

std::uint32_t RolloutShare(const UpdateRecord& record, FileTime64 now, bool* rampIgnored) {
  return RolloutShare(record.rolloutPercent, record.rolloutDays, record.ReleaseDate, now, rampIgnored);
}

std::uint32_t DrawRolloutBucket(const std::function<std::uint32_t()>& random32) {
  // The largest multiple of the bucket count below 2^32: numbers at or above it would favour the
  // low buckets, so they are drawn again.
  constexpr std::uint64_t kUnbiasedLimit = (0x100000000ull / kRolloutBuckets) * kRolloutBuckets;
  for (;;) {
    std::uint32_t value = random32();
    if (value < kUnbiasedLimit) return value % kRolloutBuckets;
  }
}

std::wstring FormatRolloutShare(std::uint32_t share) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%u.%02u %%", share / 100, share % 100);
  return text;
}

}  // namespace updater
