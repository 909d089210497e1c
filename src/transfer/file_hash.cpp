#include "transfer/file_hash.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "base/hashing.h"
#include "base/logger.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr DWORD kMd5BlockSize = 64 * 1024;
constexpr DWORD kSha256BlockSize = 1024;
constexpr DWORD kFileReadBlockSize = 1024 * 1024;
constexpr DWORD kMd5DigestSize = 16;
constexpr DWORD kSha256DigestSize = 32;

// The calling thread's last error, or E_FAIL when a failing call left none.
Result LastErrorOrFail() {
  DWORD error = ::GetLastError();
  return error != 0 ? static_cast<Result>(error) : kResultFail;
}

// The digest of a finished hash as hexadecimal text; a digest of another length is a failure.
Result FinishDigest(Hasher& hasher, std::size_t expectedSize, bool upperCase, std::wstring& digest) {
  std::vector<unsigned char> value;
  Result finished = hasher.Finish(value);
  if (finished != kOk) return finished;
  if (value.size() != expectedSize) return kResultFail;
  digest = HexOf(value, upperCase);
  return kOk;
}

wchar_t LowerHexLetter(wchar_t c) { return (c >= L'A' && c <= L'F') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

Result ComputeFileMd5(const std::wstring& path, std::wstring& digest) {
  digest.clear();
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastErrorOrFail();
  LARGE_INTEGER sizeAtOpening{};
  if (!::GetFileSizeEx(file.Get(), &sizeAtOpening)) return LastErrorOrFail();
  if (sizeAtOpening.QuadPart <= 0) return ERROR_HANDLE_EOF;

  Hasher hasher(HashAlgorithm::kMd5);
  if (hasher.Status() != kOk) return hasher.Status();
  // Read in large blocks like the SHA-256 below; the hash still gets pieces of kMd5BlockSize bytes.
  std::vector<BYTE> block(kFileReadBlockSize);
  std::uint64_t remaining = static_cast<std::uint64_t>(sizeAtOpening.QuadPart);
  while (remaining > 0) {
    DWORD wanted = remaining < kFileReadBlockSize ? static_cast<DWORD>(remaining) : kFileReadBlockSize;
    DWORD read = 0;
    if (!::ReadFile(file.Get(), block.data(), wanted, &read, nullptr)) return LastErrorOrFail();
    // A file cut short while being read can never reach its opening size: fail instead of waiting.
    if (read == 0) return ERROR_HANDLE_EOF;
    if (Result hashed = hasher.Update(block.data(), read, kMd5BlockSize); hashed != kOk) return hashed;
    remaining -= read;
  }
  return FinishDigest(hasher, kMd5DigestSize, false, digest);
}

Result ComputeFileSha256(const std::wstring& path, std::wstring& digest) {
  digest.clear();
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastErrorOrFail();

  Hasher hasher(HashAlgorithm::kSha256);
  if (hasher.Status() != kOk) return hasher.Status();
  // The file is read in large blocks (a read per kilobyte costs more than the hashing itself); the
  // hash still gets the data in pieces of kSha256BlockSize bytes.
  std::vector<BYTE> block(kFileReadBlockSize);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.Get(), block.data(), kFileReadBlockSize, &read, nullptr)) return LastErrorOrFail();
    if (read == 0) break;
    if (Result hashed = hasher.Update(block.data(), read, kSha256BlockSize); hashed != kOk) return hashed;
  }
  return FinishDigest(hasher, kSha256DigestSize, true, digest);
}

IntegrityCheck ChooseIntegrityCheck(const std::wstring& expectedSha256, const std::wstring& expectedMd5) {
  if (!expectedSha256.empty()) return IntegrityCheck::kSha256;
  if (!expectedMd5.empty()) return IntegrityCheck::kMd5;
  return IntegrityCheck::kSize;
}

bool Sha256Matches(const std::wstring& computed, const std::wstring& expected) {
  if (computed.empty() || computed.size() != expected.size()) return false;
  for (size_t i = 0; i < computed.size(); ++i)
    if (AsciiLower(computed[i]) != AsciiLower(expected[i])) return false;
  return true;
}

bool Md5Matches(const std::wstring& computed, const std::wstring& expected) {
  constexpr size_t kMd5TextLength = 2 * kMd5DigestSize;
  if (computed.size() != kMd5TextLength || expected.size() < kMd5TextLength) return false;
  for (size_t i = 0; i < kMd5TextLength; ++i)
    if (computed[i] != LowerHexLetter(expected[i])) return false;
  return true;
}

bool SizeMatches(std::uint64_t actualSize, std::uint32_t expectedSize) { return actualSize == expectedSize; }

namespace {

// The publisher's value beside the one computed, so that a wrong catalogue entry and a damaged file
// can be told apart.
void LogHashMismatch(const wchar_t* algorithm, const std::wstring& path, const std::wstring& expected,
                     const std::wstring& computed) {
  LogFormat(kLogDebug, L"%ls of %ls: expected %ls, actual %ls.", algorithm, path.c_str(), expected.c_str(),
            computed.empty() ? L"(not computed)" : computed.c_str());
}

}  // namespace

Result CheckFileSha256(const std::wstring& path, const std::wstring& expectedSha256) {
  std::wstring computed;
  ComputeFileSha256(path, computed);
  if (Sha256Matches(computed, expectedSha256)) return kOk;
  LogHashMismatch(L"SHA-256", path, expectedSha256, computed);
  return E_UPD_BAD_SHA256;
}

Result CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5) {
  std::wstring computed;
  ComputeFileMd5(path, computed);
  if (Md5Matches(computed, expectedMd5)) return kOk;
  LogHashMismatch(L"MD5", path, expectedMd5, computed);
  return E_UPD_BAD_MD5;
}

Result CheckFileSize(const std::wstring& path, std::uint32_t expectedSize) {
  return SizeMatches(FileSizeOrZero(path), expectedSize) ? kOk : E_UPD_WRONG_SIZE;
}

std::uint64_t FileSizeOrZero(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return 0;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace updater
