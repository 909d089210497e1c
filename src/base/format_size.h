// The text of a byte count as the user sees it ("1.10 MB", "512 KB", "0.50 KB").
#pragma once

#include <cstdint>
#include <string>

namespace updater {

inline constexpr wchar_t kSizeUnitMegabytes[] = L"MB";
inline constexpr wchar_t kSizeUnitKilobytes[] = L"KB";

// Above 1,048,576 bytes: megabytes with two truncated decimals. Otherwise whole kilobytes
// (so exactly 1,048,576 bytes reads "1024 KB"), and below one kilobyte "0.xx KB".
std::wstring FormatSize(std::uint64_t bytes);

}  // namespace updater
