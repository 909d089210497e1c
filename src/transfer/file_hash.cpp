#include "transfer/file_hash.h"

#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <vector>

#include "core/win_handles.h"

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

std::wstring ToHex(const BYTE* bytes, DWORD count, const wchar_t* byteFormat) {
  std::wstring text;
  text.reserve(count * 2);
  wchar_t pair[3];
  for (DWORD i = 0; i < count; ++i) {
    swprintf(pair, 3, byteFormat, static_cast<unsigned>(bytes[i]));
    text += pair;
  }
  return text;
}

Result FinishHash(HCRYPTHASH hash, DWORD expectedSize, const wchar_t* byteFormat, std::wstring& digest) {
  BYTE value[kSha256DigestSize];
  DWORD size = sizeof(value);
  if (!::CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) return LastErrorOrFail();
  if (size != expectedSize) return kResultFail;
  digest = ToHex(value, size, byteFormat);
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

  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return LastErrorOrFail();
  UniqueCryptHash hash;
  if (!::CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, hash.Put())) return LastErrorOrFail();

  std::vector<BYTE> block(kMd5BlockSize);
  std::uint64_t remaining = static_cast<std::uint64_t>(sizeAtOpening.QuadPart);
  while (remaining > 0) {
    DWORD wanted = remaining < kMd5BlockSize ? static_cast<DWORD>(remaining) : kMd5BlockSize;
    DWORD read = 0;
    if (!::ReadFile(file.Get(), block.data(), wanted, &read, nullptr)) return LastErrorOrFail();
    // A file cut short while being read can never reach its opening size: fail instead of waiting.
    if (read == 0) return ERROR_HANDLE_EOF;
    if (!::CryptHashData(hash.Get(), block.data(), read, 0)) return LastErrorOrFail();
    remaining -= read;
  }
  return FinishHash(hash.Get(), kMd5DigestSize, L"%02x", digest);
}

Result ComputeFileSha256(const std::wstring& path, std::wstring& digest) {
  digest.clear();
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastErrorOrFail();

  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return LastErrorOrFail();
  UniqueCryptHash hash;
  if (!::CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put())) return LastErrorOrFail();

  // The file is read in large blocks (a read per kilobyte costs more than the hashing itself); the
  // hash still gets the data in pieces of kSha256BlockSize bytes.
  std::vector<BYTE> block(kFileReadBlockSize);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.Get(), block.data(), kFileReadBlockSize, &read, nullptr)) return LastErrorOrFail();
    if (read == 0) break;
    for (DWORD offset = 0; offset < read; offset += kSha256BlockSize) {
      DWORD piece = read - offset < kSha256BlockSize ? read - offset : kSha256BlockSize;
      if (!::CryptHashData(hash.Get(), block.data() + offset, piece, 0)) return LastErrorOrFail();
    }
  }
  return FinishHash(hash.Get(), kSha256DigestSize, L"%02X", digest);
}

Result Sha256OfBytes(const void* data, std::size_t size, std::vector<unsigned char>& digest) {
  digest.clear();
  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return LastErrorOrFail();
  UniqueCryptHash hash;
  if (!::CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put())) return LastErrorOrFail();
  const BYTE* bytes = static_cast<const BYTE*>(data);
  for (std::size_t offset = 0; offset < size;) {
    DWORD piece = static_cast<DWORD>(size - offset < kFileReadBlockSize ? size - offset : kFileReadBlockSize);
    if (!::CryptHashData(hash.Get(), bytes + offset, piece, 0)) return LastErrorOrFail();
    offset += piece;
  }
  BYTE value[kSha256DigestSize];
  DWORD length = sizeof(value);
  if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, value, &length, 0) || length != kSha256DigestSize)
    return LastErrorOrFail();
  digest.assign(value, value + length);
  return kOk;
}

std::wstring UpperHex(const std::vector<unsigned char>& bytes) {
  return ToHex(bytes.data(), static_cast<DWORD>(bytes.size()), L"%02X");
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

Result CheckFileSha256(const std::wstring& path, const std::wstring& expectedSha256) {
  std::wstring computed;
  if (ComputeFileSha256(path, computed) != kOk) return E_UPD_BAD_SHA256;
  return Sha256Matches(computed, expectedSha256) ? kOk : E_UPD_BAD_SHA256;
}

Result CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5) {
  std::wstring computed;
  if (ComputeFileMd5(path, computed) != kOk) return E_UPD_BAD_MD5;
  return Md5Matches(computed, expectedMd5) ? kOk : E_UPD_BAD_MD5;
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
