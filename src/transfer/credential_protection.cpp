#include "transfer/credential_protection.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "base/hashing.h"
#include "base/logger.h"
#include "base/win_handles.h"

namespace updater {

namespace {

// The value whose MD5 keys the stream cipher. Changing it makes every remembered password and
// every credentials argument of an older copy unreadable.
constexpr std::uint8_t kProtectionKeyMaterial[kProtectionKeyMaterialSize] = {
    0x4B, 0x9E, 0x27, 0xD1, 0x63, 0x0A, 0xB8, 0x5C, 0xF2, 0x31, 0x7D, 0xE4, 0x96, 0x08,
    0xC5, 0x5A, 0x1F, 0xA3, 0x6E, 0xD9, 0x42, 0xBB, 0x07, 0x8C, 0x3D, 0xF0, 0x65, 0x19};

// Clears a buffer that held a password before it is released.
void Wipe(std::vector<std::uint8_t>& bytes) {
  if (!bytes.empty()) ::SecureZeroMemory(bytes.data(), bytes.size());
}

Result LastErrorOr(Result fallback) {
  DWORD error = ::GetLastError();
  return error != 0 ? error : fallback;
}

// Opens the key container, creating it on first use. A container created by another process
// between our two calls is opened again.
Result AcquireProtectionContext(UniqueCryptProv& provider) {
  if (::CryptAcquireContextW(provider.Put(), kProtectionKeyContainer, nullptr, PROV_RSA_FULL, 0)) return kOk;
  if (::CryptAcquireContextW(provider.Put(), kProtectionKeyContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return kOk;
  Result error = LastErrorOr(kResultFail);
  if (error == static_cast<Result>(NTE_EXISTS) &&
      ::CryptAcquireContextW(provider.Put(), kProtectionKeyContainer, nullptr, PROV_RSA_FULL, 0))
    return kOk;
  return error;
}

// Runs the RC4 stream over `bytes` in place (encryption and decryption are the same operation, but
// CryptoAPI wants the matching call).
Result RunCipher(std::vector<std::uint8_t>& bytes, bool encrypt) {
  UniqueCryptProv provider;
  Result result = AcquireProtectionContext(provider);
  if (result != kOk) {
    LogError(L"CryptAcquireContext() failed", result);
    return result;
  }
  Hasher hash(provider.Get(), CALG_MD5);
  if (hash.Update(kProtectionKeyMaterial, sizeof(kProtectionKeyMaterial)) != kOk) return hash.Status();
  UniqueCryptKey key;
  if (!::CryptDeriveKey(provider.Get(), CALG_RC4, hash.Handle(), 0, key.Put())) return LastErrorOr(kResultFail);
  DWORD length = static_cast<DWORD>(bytes.size());
  BOOL ok = encrypt ? ::CryptEncrypt(key.Get(), 0, TRUE, 0, bytes.data(), &length, length)
                    : ::CryptDecrypt(key.Get(), 0, TRUE, 0, bytes.data(), &length);
  if (!ok) return LastErrorOr(kResultFail);
  // A stream cipher keeps the length; anything else is a provider we cannot use.
  if (length != bytes.size()) return kErrorInvalidData;
  return kOk;
}

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendText(std::vector<std::uint8_t>& out, const std::wstring& text) {
  AppendU32(out, static_cast<std::uint32_t>(text.size() * 2));
  for (wchar_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  }
}

// Reads bounded fields from the blob; every read checks what is left first.
class BlobReader {
 public:
  BlobReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Left() const { return size_ - at_; }
  bool ReadU32(std::uint32_t& value) {
    if (Left() < 4) return false;
    value = static_cast<std::uint32_t>(data_[at_]) | static_cast<std::uint32_t>(data_[at_ + 1]) << 8 |
            static_cast<std::uint32_t>(data_[at_ + 2]) << 16 | static_cast<std::uint32_t>(data_[at_ + 3]) << 24;
    at_ += 4;
    return true;
  }
  bool ReadText(std::wstring& text) {
    std::uint32_t byteLength = 0;
    if (!ReadU32(byteLength) || byteLength % 2 != 0 || byteLength > Left()) return false;
    text.resize(byteLength / 2);
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<wchar_t>(data_[at_ + 2 * i] | data_[at_ + 2 * i + 1] << 8);
    at_ += byteLength;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

const std::uint8_t* ProtectionKeyMaterial() { return kProtectionKeyMaterial; }

std::wstring BytesToHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

bool HexToBytes(const std::wstring& text, std::vector<std::uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = HexDigitValue(text[i]);
    int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  bytes = std::move(out);
  return true;
}

Result ProtectPassword(const std::wstring& password, std::wstring& protectedText) {
  if (password.empty() || password.size() > kMaxProtectedPasswordChars) return kErrorInvalidData;
  std::vector<std::uint8_t> bytes(password.size() * 2);
  for (std::size_t i = 0; i < password.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(password[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>((password[i] >> 8) & 0xFF);
  }
  Result result = RunCipher(bytes, true);
  if (result == kOk) protectedText = BytesToHex(bytes);
  Wipe(bytes);
  return result;
}

Result UnprotectPassword(const std::wstring& protectedText, std::wstring& password) {
  if (protectedText.empty() || protectedText.size() > kMaxProtectedBytes) return kErrorInvalidData;
  std::vector<std::uint8_t> bytes;
  if (!HexToBytes(protectedText, bytes) || bytes.size() % 2 != 0) return kErrorInvalidData;
  Result result = RunCipher(bytes, false);
  if (result == kOk) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    password = std::move(text);
  }
  Wipe(bytes);
  return result;
}

std::size_t CredentialsBlobBound(const std::vector<CredentialPair>& pairs) {
  std::size_t bound = 8;
  for (const CredentialPair& pair : pairs) bound += pair.user.size() * 2 + pair.password.size() * 8 + 8;
  return bound;
}

std::vector<std::uint8_t> BuildCredentialsBlob(const std::vector<ProtectedPair>& pairs) {
  std::vector<std::uint8_t> blob;
  AppendU32(blob, static_cast<std::uint32_t>(pairs.size()));
  for (const ProtectedPair& pair : pairs) {
    AppendText(blob, pair.user);
    AppendText(blob, pair.protectedPassword);
  }
  return blob;
}

bool ParseCredentialsBlob(const std::uint8_t* data, std::size_t size, std::vector<ProtectedPair>& pairs) {
  if (data == nullptr && size != 0) return false;
  BlobReader reader(data, size);
  std::uint32_t count = 0;
  if (!reader.ReadU32(count)) return false;
  // Every pair needs at least its two length fields: a larger count is corrupt, and checking it
  // first keeps a forged count from reserving memory.
  if (count > reader.Left() / 8) return false;
  std::vector<ProtectedPair> parsed;
  parsed.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ProtectedPair pair;
    if (!reader.ReadText(pair.user) || !reader.ReadText(pair.protectedPassword)) return false;
    parsed.push_back(std::move(pair));
  }
  pairs = std::move(parsed);
  return true;
}

bool EncodeCredentials(const std::vector<CredentialPair>& pairs, std::vector<std::uint8_t>& blob) {
  std::vector<ProtectedPair> protectedPairs;
  protectedPairs.reserve(pairs.size());
  for (const CredentialPair& pair : pairs) {
    ProtectedPair entry{pair.user, {}};
    Result result = ProtectPassword(pair.password, entry.protectedPassword);
    if (result != kOk) {
      LogError(L"ProtectPassword() failed", result);
      return false;
    }
    protectedPairs.push_back(std::move(entry));
  }
  blob = BuildCredentialsBlob(protectedPairs);
  return true;
}

bool DecodeCredentials(const std::uint8_t* data, std::size_t size, std::vector<CredentialPair>& pairs) {
  std::vector<ProtectedPair> protectedPairs;
  if (!ParseCredentialsBlob(data, size, protectedPairs)) {
    Log(kLogError, L"The credentials blob is malformed");
    return false;
  }
  for (const ProtectedPair& entry : protectedPairs) {
    CredentialPair pair{entry.user, {}};
    Result result = UnprotectPassword(entry.protectedPassword, pair.password);
    if (result != kOk) {
      LogError(L"UnprotectPassword() failed for " + entry.user, result);
      continue;
    }
    pairs.push_back(std::move(pair));
  }
  return true;
}

std::wstring EncodeCredentialsArgument(const CredentialPair& pair) {
  std::wstring protectedText;
  if (ProtectPassword(pair.password, protectedText) != kOk) return {};
  return pair.user + L":" + protectedText;
}

Result DecodeCredentialsArgument(const std::wstring& argument, CredentialPair& pair) {
  std::size_t colon = argument.rfind(L':');
  if (colon == std::wstring::npos || colon == 0) return E_UPD_COMMAND_LINE;
  std::wstring password;
  Result result = UnprotectPassword(argument.substr(colon + 1), password);
  if (result != kOk) return result;
  pair.user = argument.substr(0, colon);
  pair.password = std::move(password);
  return kOk;
}

}  // namespace updater
