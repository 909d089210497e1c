// Freshness of a signed updates configuration file: its own "Serial" and "ValidUntil" keys against
// what this machine accepted before. Pure rules over data; the signature itself is checked before
// any of these values is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result_codes.h"
#include "base/utc_time.h"

namespace updater {

inline constexpr std::uint64_t kMaxUpdatesFileSerial = 0x7FFFFFFFFFFFFFFFull;

// What an earlier accepted file left in the application's "Settings" key.
struct RememberedUpdatesFile {
  std::optional<std::uint64_t> serial;  // "UpdatesFileSerial"
  std::optional<std::wstring> digest;   // "UpdatesFileDigest": SHA-256 of that file, hexadecimal
};

struct FreshnessVerdict {
  Result result = kOk;  // 0, 0xE0000035 (expired or keys missing) or 0xE0000036 (replayed)
  std::wstring reason;  // which rule failed, with the values, for the log
  std::uint64_t serial = 0;
};

// "Serial": decimal digits only, from 1 to 2^63 - 1.
bool ParseUpdatesFileSerial(const std::wstring& text, std::uint64_t& serial);
// "ValidUntil" as day/month/year: the first moment after that day, UTC; false for no real date.
bool ParseValidUntilEnd(const std::wstring& text, FileTime64& end);

// The file (its keys as written and the SHA-256 of its bytes) at `now`, against what was remembered:
// refused when a key is missing or malformed, when it is past the end of its ValidUntil day, when
// its serial is below the remembered one, or equal to it with other bytes.
FreshnessVerdict DecideFreshness(const std::wstring& serialText, const std::wstring& validUntilText,
                                 const std::wstring& digest, const RememberedUpdatesFile& remembered, FileTime64 now);

}  // namespace updater
