// The protected form of a password and the credentials blob that carries pairs in the registry
// ("UserDetailsU") and in the hand-over mapping between two instances of the updater.
//
// A protected password is the RC4 ciphertext of the password's UTF-16LE bytes, keyed by the MD5 of
// a fixed value compiled into the program, written as uppercase hexadecimal. That keeps the
// password out of plain sight in the registry and on the command line; it is not a secret from
// anyone who has the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace updater {

// ERROR_INVALID_DATA: empty or oversized input, bad hexadecimal text, undecryptable bytes.
inline constexpr Result kErrorInvalidData = 13;
// Largest protected text, counted as one byte per hexadecimal digit. A password character is two
// UTF-16 bytes and so four digits: the longest password that can be protected has 12,800 characters.
inline constexpr std::size_t kMaxProtectedBytes = 51200;
inline constexpr std::size_t kMaxProtectedPasswordChars = kMaxProtectedBytes / 4;
// The key container of the protection.
inline constexpr wchar_t kProtectionKeyContainer[] = L"KestruneUpdater";

struct CredentialPair {
  std::wstring user;
  std::wstring password;
  bool operator==(const CredentialPair&) const = default;
};

// ---- Hexadecimal text ----

// Two uppercase digits per byte.
std::wstring BytesToHex(const std::vector<std::uint8_t>& bytes);
// Accepts upper- and lowercase digits; false for an odd length or any other character.
bool HexToBytes(const std::wstring& text, std::vector<std::uint8_t>& bytes);

// ---- Password protection (CryptoAPI) ----

// The fixed 28-byte value whose MD5 is the RC4 key.
inline constexpr std::size_t kProtectionKeyMaterialSize = 28;
const std::uint8_t* ProtectionKeyMaterial();

// The protected hexadecimal text of `password`; 13 for an empty password or one whose protected text
// would exceed 51,200 bytes (more than 12,800 characters), else 0 or the CryptoAPI error.
Result ProtectPassword(const std::wstring& password, std::wstring& protectedText);
// The password of a protected text; 13 for bad hexadecimal, an empty text or one above 51,200 digits,
// or an odd byte count, else 0 or the CryptoAPI error.
Result UnprotectPassword(const std::wstring& protectedText, std::wstring& password);

// ---- Credentials blob ----

// A pair as the blob carries it: the user name and the protected password text.
struct ProtectedPair {
  std::wstring user;
  std::wstring protectedPassword;
};

// The largest blob `pairs` can need: 8 + sum(user chars * 2 + password chars * 8 + 8). The protected
// text has four characters per password character, each two bytes.
std::size_t CredentialsBlobBound(const std::vector<CredentialPair>& pairs);

// count, then per pair: user byte length, user UTF-16LE, protected text byte length, protected text.
std::vector<std::uint8_t> BuildCredentialsBlob(const std::vector<ProtectedPair>& pairs);
// Parses a blob; false (and `pairs` untouched) when a length or count runs past the end, a length is
// odd, or the count is more than the bytes could hold. Bytes after the last pair are ignored.
bool ParseCredentialsBlob(const std::uint8_t* data, std::size_t size, std::vector<ProtectedPair>& pairs);

// Protects every password and builds the blob; false when a password cannot be protected.
bool EncodeCredentials(const std::vector<CredentialPair>& pairs, std::vector<std::uint8_t>& blob);
// Parses the blob and unprotects every password into `pairs` (appended). Pairs whose password does
// not decrypt are left out; false when the blob itself is malformed.
bool DecodeCredentials(const std::uint8_t* data, std::size_t size, std::vector<CredentialPair>& pairs);

// ---- Credentials argument of "/install" ----

// "<user>:<protected password>"; empty when the password cannot be protected.
std::wstring EncodeCredentialsArgument(const CredentialPair& pair);
// The text before the last ':' is the user name, the text after it the protected password. 0 and the
// pair, or E_UPD_COMMAND_LINE without a ':' or with an empty user name, or the unprotect error.
Result DecodeCredentialsArgument(const std::wstring& argument, CredentialPair& pair);

}  // namespace updater
