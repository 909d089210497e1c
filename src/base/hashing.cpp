#include "base/hashing.h"

#include "base/text_util.h"

namespace updater {
namespace {

Result LastErrorOrFail() {
  DWORD error = ::GetLastError();
  return error != 0 ? static_cast<Result>(error) : kResultFail;
}

}  // namespace

Hasher::Hasher(HashAlgorithm algorithm) {
  BOOL acquired = algorithm == HashAlgorithm::kSha256
                      ? ::CryptAcquireContextW(provider_.Put(), nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                               CRYPT_VERIFYCONTEXT)
                      : ::CryptAcquireContextW(provider_.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  if (!acquired) {
    status_ = LastErrorOrFail();
    return;
  }
  ALG_ID id = algorithm == HashAlgorithm::kSha256 ? CALG_SHA_256 : CALG_MD5;
  if (!::CryptCreateHash(provider_.Get(), id, 0, 0, hash_.Put())) status_ = LastErrorOrFail();
}

Hasher::Hasher(HCRYPTPROV provider, ALG_ID algorithm) {
  if (!::CryptCreateHash(provider, algorithm, 0, 0, hash_.Put())) status_ = LastErrorOrFail();
}

Result Hasher::Update(const void* data, std::size_t size, std::size_t pieceSize) {
  if (status_ != kOk) return status_;
  const BYTE* bytes = static_cast<const BYTE*>(data);
  for (std::size_t offset = 0; offset < size;) {
    DWORD piece = static_cast<DWORD>(size - offset < pieceSize ? size - offset : pieceSize);
    if (!::CryptHashData(hash_.Get(), bytes + offset, piece, 0)) return status_ = LastErrorOrFail();
    offset += piece;
  }
  return kOk;
}

Result Hasher::Finish(std::vector<unsigned char>& digest) {
  digest.clear();
  if (status_ != kOk) return status_;
  DWORD size = 0;
  DWORD sizeLength = sizeof(size);
  if (!::CryptGetHashParam(hash_.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLength, 0))
    return LastErrorOrFail();
  digest.resize(size);
  if (!::CryptGetHashParam(hash_.Get(), HP_HASHVAL, digest.data(), &size, 0)) {
    digest.clear();
    return LastErrorOrFail();
  }
  digest.resize(size);
  return kOk;
}

Result HashBytes(HashAlgorithm algorithm, const void* data, std::size_t size, std::vector<unsigned char>& digest) {
  digest.clear();
  Hasher hasher(algorithm);
  Result result = hasher.Update(data, size);
  return result == kOk ? hasher.Finish(digest) : result;
}

std::wstring HexOf(const std::vector<unsigned char>& bytes, bool upperCase) {
  const wchar_t* digits = upperCase ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0xF];
  }
  return text;
}

Result RandomBytes(void* buffer, std::size_t size) {
  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return LastErrorOrFail();
  if (!::CryptGenRandom(provider.Get(), static_cast<DWORD>(size), static_cast<BYTE*>(buffer))) return LastErrorOrFail();
  return kOk;
}

std::wstring Sha256HexOfText(const std::wstring& text) {
  std::string bytes = ToUtf8(text);
  std::vector<unsigned char> digest;
  if (HashBytes(HashAlgorithm::kSha256, bytes.data(), bytes.size(), digest) != kOk || digest.size() != 32) return {};
  return HexOf(digest, true);
}

}  // namespace updater
