#include "base/format_size.h"

#include <cwchar>

namespace updater {
namespace {

constexpr std::uint64_t kKilobyte = 1024;
constexpr std::uint64_t kMegabyte = 1024 * 1024;

// "%d.%d %s" for hundredths above 9, "%d.0%d %s" otherwise. The whole part is 64-bit so that
// sizes of terabytes and more do not wrap.
std::wstring WithHundredths(std::uint64_t whole, std::uint64_t hundredths, const wchar_t* unit) {
  wchar_t text[64];
  const wchar_t* pattern = hundredths > 9 ? L"%llu.%llu %ls" : L"%llu.0%llu %ls";
  swprintf(text, 64, pattern, static_cast<unsigned long long>(whole), static_cast<unsigned long long>(hundredths),
           unit);
  return text;
}

}  // namespace

std::wstring FormatSize(std::uint64_t bytes) {
  if (bytes > kMegabyte) {
    std::uint64_t remainder = bytes % kMegabyte;
    // remainder * 100 stays far below 2^64 (remainder < 2^20).
    return WithHundredths(bytes / kMegabyte, remainder * 100 / kMegabyte, kSizeUnitMegabytes);
  }
  std::uint64_t kilobytes = bytes / kKilobyte;
  if (kilobytes >= 1) return std::to_wstring(kilobytes) + L" " + kSizeUnitKilobytes;
  return WithHundredths(0, bytes * 100 / kKilobyte, kSizeUnitKilobytes);
}

}  // namespace updater
