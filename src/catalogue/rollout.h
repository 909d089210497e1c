// Staged rollouts: the share of machines an update is offered to, from its RolloutPercent and a
// ramp of RolloutDays from its ReleaseDate, and the machine's own bucket that the share is held
// against. Shares are in hundredths of a percent (0 to 10000), as buckets are.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/utc_time.h"
#include "catalogue/update_record.h"

namespace updater {

inline constexpr std::uint32_t kRolloutBuckets = 10000;  // buckets 0 to 9999; share 10000 = everyone
inline constexpr std::uint32_t kRolloutPercentDefault = 100;
inline constexpr std::uint32_t kRolloutDaysMax = 365;

// The share offered on `now`: the smaller of RolloutPercent and, when RolloutDays and a release
// date are given, the ramp (day 1, the release day, offers 1/RolloutDays of everyone; from day
// RolloutDays on everyone; the days before the release nobody). `rampIgnored` tells that RolloutDays
// was given without a usable release date.
std::uint32_t RolloutShare(std::uint32_t percent, std::uint32_t days, const UpdateDate& releaseDate, FileTime64 now,
                           bool* rampIgnored = nullptr);
std::uint32_t RolloutShare(const UpdateRecord& record, FileTime64 now, bool* rampIgnored = nullptr);

// A machine in `bucket` is offered a share when it falls below it.
inline bool IsInRolloutShare(std::uint32_t bucket, std::uint32_t share) { return bucket < share; }

// A bucket from a source of uniform 32-bit random numbers, without the bias of a plain remainder.
std::uint32_t DrawRolloutBucket(const std::function<std::uint32_t()>& random32);

// "5.00 %": a share for the log.
std::wstring FormatRolloutShare(std::uint32_t share);

}  // namespace updater
