// Whole files as bytes, for the small files the updater reads at once (lists, signatures).
#pragma once

#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace updater {

// Reads the whole file into `bytes`: 0, `tooLarge` when it holds more than `maxBytes` bytes, or the
// Win32 error of opening or reading it.
Result ReadFileBytes(const std::wstring& path, std::uint64_t maxBytes, Result tooLarge, std::string& bytes);

}  // namespace updater
