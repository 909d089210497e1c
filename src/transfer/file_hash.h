// Hashes of downloaded files and the comparisons that decide whether a download may be kept.
#pragma once

#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace updater {

// MD5 of a file as 32 lowercase hexadecimal characters. The file is opened shared for reading and
// writing and hashed up to the size it had when opened, in 64 KiB blocks. Returns 0 and the digest,
// or a Win32 error code with `digest` empty; an unopenable or empty file is a failure, and so is a
// file that shrinks while being read.
Result ComputeFileMd5(const std::wstring& path, std::wstring& digest);

// SHA-256 of a file as 64 uppercase hexadecimal characters, through the AES cryptographic provider,
// read in 1 KiB blocks to the end of the file. Returns 0 and the digest, or a Win32 error code with
// `digest` empty.
Result ComputeFileSha256(const std::wstring& path, std::wstring& digest);

// Which single check a downloaded file gets: SHA-256 when given, else MD5 when given, else its size.
enum class IntegrityCheck { kSha256, kMd5, kSize };
IntegrityCheck ChooseIntegrityCheck(const std::wstring& expectedSha256, const std::wstring& expectedMd5);

// True when a computed SHA-256 text equals the expected one regardless of case. An empty computed
// text (a failed computation) never matches.
bool Sha256Matches(const std::wstring& computed, const std::wstring& expected);

// True when the 32 computed lowercase characters equal the first 32 characters of the expected
// value, its 'A'-'F' read as 'a'-'f'. A failed computation or a shorter expected value never matches.
bool Md5Matches(const std::wstring& computed, const std::wstring& expected);

// True when a file of `actualSize` bytes has the expected size.
bool SizeMatches(std::uint64_t actualSize, std::uint32_t expectedSize);

// The file checks of the download phase: 0 when the file passes, otherwise the mismatch code
// (0xE0000030, 0xE0000022, 0xE0000023). A file that cannot be hashed or opened fails.
Result CheckFileSha256(const std::wstring& path, const std::wstring& expectedSha256);
Result CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5);
Result CheckFileSize(const std::wstring& path, std::uint32_t expectedSize);

// Size of a file in bytes, 0 when it cannot be opened.
std::uint64_t FileSizeOrZero(const std::wstring& path);

}  // namespace updater
