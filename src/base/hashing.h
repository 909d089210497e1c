// CryptoAPI hashes: MD5 and SHA-256 of bytes, texts and files, through one owner of the provider
// and the hash object.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

enum class HashAlgorithm { kMd5, kSha256 };

// One hash in progress. MD5 runs in the system's default RSA provider, SHA-256 in the AES one.
class Hasher {
 public:
  explicit Hasher(HashAlgorithm algorithm);
  // A hash in a provider the caller holds (a key container, say), for key derivation.
  Hasher(HCRYPTPROV provider, ALG_ID algorithm);

  // 0 when the provider and the hash object could be made, else the error.
  Result Status() const { return status_; }
  // Adds bytes in pieces of at most `pieceSize` bytes (the hash sees the same digest either way).
  Result Update(const void* data, std::size_t size, std::size_t pieceSize = 1u << 20);
  // The digest's raw bytes; the hash cannot take more data afterwards.
  Result Finish(std::vector<unsigned char>& digest);
  HCRYPTHASH Handle() const { return hash_.Get(); }

 private:
  UniqueCryptProv provider_;
  UniqueCryptHash hash_;
  Result status_ = kOk;
};

// The digest of bytes in memory: 0 or the CryptoAPI error, with `digest` empty then.
Result HashBytes(HashAlgorithm algorithm, const void* data, std::size_t size, std::vector<unsigned char>& digest);

// Bytes as hexadecimal text, two characters each.
std::wstring HexOf(const std::vector<unsigned char>& bytes, bool upperCase);

// Bytes from the system's cryptographic random source: 0 or the error.
Result RandomBytes(void* buffer, std::size_t size);

// Upper-case hexadecimal SHA-256 of the UTF-8 form of the text (64 characters); empty on failure.
std::wstring Sha256HexOfText(const std::wstring& text);

}  // namespace updater
