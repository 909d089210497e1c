#include "transfer/credential_protection.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/win_handles.h"

namespace updater {
namespace {

std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

// A plain RC4, to check the ciphertext against the full 128-bit MD5 key independently of the
// provider's own key derivation.
std::vector<std::uint8_t> Rc4(const std::vector<std::uint8_t>& key, std::vector<std::uint8_t> data) {
  std::uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[static_cast<size_t>(i) % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  int i = 0, j = 0;
  for (auto& byte : data) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    byte ^= s[(s[i] + s[j]) & 0xFF];
  }
  return data;
}

std::vector<std::uint8_t> Md5(const std::uint8_t* data, size_t size) {
  UniqueCryptProv provider;
  EXPECT_TRUE(::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  UniqueCryptHash hash;
  EXPECT_TRUE(::CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, hash.Put()));
  EXPECT_TRUE(::CryptHashData(hash.Get(), data, static_cast<DWORD>(size), 0));
  std::vector<std::uint8_t> digest(16);
  DWORD length = 16;
  EXPECT_TRUE(::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &length, 0));
  return digest;
}

TEST(PasswordProtection, RoundTripsAndWritesUppercaseHexFourDigitsPerCharacter) {
  for (const std::wstring& password : {std::wstring(L"s3cret"), std::wstring(L"p\u00E4ssw\u00F6rd \u20AC:\\\""),
                                       std::wstring(L"x")}) {
    std::wstring protectedText;
    ASSERT_EQ(ProtectPassword(password, protectedText), kOk);
    EXPECT_EQ(protectedText.size(), password.size() * 4);
    EXPECT_EQ(protectedText.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << protectedText;
    EXPECT_NE(protectedText, BytesToHex(Utf16Bytes(password))) << "the password must not be stored in clear";
    std::wstring back;
    ASSERT_EQ(UnprotectPassword(protectedText, back), kOk);
    EXPECT_EQ(back, password);
  }
}

TEST(PasswordProtection, IsRc4UnderTheWhole128BitMd5OfTheProgramsKeyValue) {
  // Every instance and every copy of the updater must derive the same key, and the default provider
  // with no name gives all 16 digest bytes to RC4 (a 40-bit key would keep only 5).
  std::wstring protectedText;
  ASSERT_EQ(ProtectPassword(L"Password1", protectedText), kOk);
  std::vector<std::uint8_t> cipher;
  ASSERT_TRUE(HexToBytes(protectedText, cipher));
  std::vector<std::uint8_t> plain = Utf16Bytes(L"Password1");
  // RC4 is its own inverse: the keystream is cipher XOR plain; a 16-byte MD5 key must reproduce it.
  std::vector<std::uint8_t> keystream(plain.size());
  for (size_t i = 0; i < plain.size(); ++i) keystream[i] = static_cast<std::uint8_t>(cipher[i] ^ plain[i]);
  std::vector<std::uint8_t> zeros(plain.size(), 0);
  std::vector<std::uint8_t> md5 = Md5(ProtectionKeyMaterial(), kProtectionKeyMaterialSize);
  EXPECT_EQ(Rc4(md5, zeros), keystream);
}

TEST(PasswordProtection, RefusesEmptyAndOversizedPasswordsWithError13) {
  std::wstring protectedText = L"unchanged";
  EXPECT_EQ(ProtectPassword(L"", protectedText), kErrorInvalidData);
  // Four hexadecimal digits per character: 12,800 characters fill the 51,200-byte limit exactly.
  ASSERT_EQ(ProtectPassword(std::wstring(12800, L'a'), protectedText), kOk);
  EXPECT_EQ(protectedText.size(), 51200u);
  std::wstring back;
  ASSERT_EQ(UnprotectPassword(protectedText, back), kOk);
  EXPECT_EQ(back, std::wstring(12800, L'a'));
  protectedText = L"unchanged";
  EXPECT_EQ(ProtectPassword(std::wstring(12801, L'a'), protectedText), kErrorInvalidData);
  EXPECT_EQ(protectedText, L"unchanged");
}

TEST(PasswordProtection, UnprotectRefusesMalformedTextWithError13) {
  std::wstring password = L"unchanged";
  EXPECT_EQ(UnprotectPassword(L"", password), kErrorInvalidData);
  EXPECT_EQ(UnprotectPassword(L"ABC", password), kErrorInvalidData);     // odd digit count
  EXPECT_EQ(UnprotectPassword(L"ABCG", password), kErrorInvalidData);    // not a digit
  EXPECT_EQ(UnprotectPassword(L"ABCDEF", password), kErrorInvalidData);  // odd byte count
  EXPECT_EQ(UnprotectPassword(std::wstring(51204, L'A'), password), kErrorInvalidData);
  EXPECT_EQ(password, L"unchanged");
}

TEST(PasswordProtection, AcceptsLowercaseDigits) {
  std::wstring protectedText;
  ASSERT_EQ(ProtectPassword(L"pw", protectedText), kOk);
  std::wstring lower;
  for (wchar_t c : protectedText) lower += static_cast<wchar_t>(towlower(c));
  std::wstring back;
  ASSERT_EQ(UnprotectPassword(lower, back), kOk);
  EXPECT_EQ(back, L"pw");
}

TEST(Hex, EncodesUppercaseAndRejectsOddOrForeignText) {
  EXPECT_EQ(BytesToHex({0x00, 0x0F, 0xA5, 0xFF}), L"000FA5FF");
  std::vector<std::uint8_t> bytes{1};
  EXPECT_TRUE(HexToBytes(L"", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(HexToBytes(L"0", bytes));
  EXPECT_FALSE(HexToBytes(L"0x", bytes));
  EXPECT_FALSE(HexToBytes(L" 1", bytes));
}

// ---- Credentials blob ----

TEST(CredentialsBlob, HasTheDocumentedLittleEndianLayout) {
  std::vector<std::uint8_t> blob = BuildCredentialsBlob({{L"ab", L"0F"}, {L"", L"A1B2"}});
  std::vector<std::uint8_t> expected = {
      2, 0, 0, 0,                                      // count
      4, 0, 0, 0, 'a', 0, 'b', 0,                      // user
      4, 0, 0, 0, '0', 0, 'F', 0,                      // protected password text
      0, 0, 0, 0,                                      // empty user
      8, 0, 0, 0, 'A', 0, '1', 0, 'B', 0, '2', 0};     // protected password text
  EXPECT_EQ(blob, expected);
  std::vector<ProtectedPair> pairs;
  ASSERT_TRUE(ParseCredentialsBlob(blob.data(), blob.size(), pairs));
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].user, L"ab");
  EXPECT_EQ(pairs[0].protectedPassword, L"0F");
  EXPECT_EQ(pairs[1].user, L"");
  EXPECT_EQ(pairs[1].protectedPassword, L"A1B2");
}

TEST(CredentialsBlob, EveryTruncationIsRejectedWithoutTouchingTheList) {
  std::vector<std::uint8_t> blob = BuildCredentialsBlob({{L"user", L"ABCD"}, {L"other", L"0123456789"}});
  for (size_t size = 0; size < blob.size(); ++size) {
    std::vector<ProtectedPair> pairs{{L"keep", L"00"}};
    std::vector<std::uint8_t> prefix(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(ParseCredentialsBlob(prefix.data(), prefix.size(), pairs)) << "size " << size;
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].user, L"keep");
  }
  std::vector<ProtectedPair> pairs;
  EXPECT_TRUE(ParseCredentialsBlob(blob.data(), blob.size(), pairs));
  EXPECT_EQ(pairs.size(), 2u);
}

TEST(CredentialsBlob, ForgedLengthsAndCountsAreRejected) {
  std::vector<ProtectedPair> pairs;
  // A count far beyond the data must not reserve memory for it or read past the end.
  std::vector<std::uint8_t> hugeCount = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ParseCredentialsBlob(hugeCount.data(), hugeCount.size(), pairs));
  std::vector<std::uint8_t> hugeLength = {1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 'a', 0, 0, 0, 0, 0};
  EXPECT_FALSE(ParseCredentialsBlob(hugeLength.data(), hugeLength.size(), pairs));
  std::vector<std::uint8_t> oddLength = {1, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0};
  EXPECT_FALSE(ParseCredentialsBlob(oddLength.data(), oddLength.size(), pairs));
  EXPECT_FALSE(ParseCredentialsBlob(nullptr, 0, pairs));
  EXPECT_TRUE(pairs.empty());
  // Bytes after the last pair (a larger allocation) do not matter.
  std::vector<std::uint8_t> padded = BuildCredentialsBlob({{L"u", L"AB"}});
  padded.resize(padded.size() + 16, 0);
  EXPECT_TRUE(ParseCredentialsBlob(padded.data(), padded.size(), pairs));
  EXPECT_EQ(pairs.size(), 1u);
  std::vector<std::uint8_t> none = {0, 0, 0, 0};
  EXPECT_TRUE(ParseCredentialsBlob(none.data(), none.size(), pairs));
  EXPECT_TRUE(pairs.empty());
}

TEST(CredentialsBlob, EncodedPairsDecodeAndStayWithinTheAllocationBound) {
  std::vector<CredentialPair> pairs = {{L"alice", L"wonder land"}, {L"b\u00F6b", L"\u20AC"}};
  std::vector<std::uint8_t> blob;
  ASSERT_TRUE(EncodeCredentials(pairs, blob));
  EXPECT_LE(blob.size(), CredentialsBlobBound(pairs));
  EXPECT_EQ(CredentialsBlobBound(pairs), 8u + (5 * 2 + 11 * 8 + 8) + (3 * 2 + 1 * 8 + 8));
  std::vector<CredentialPair> decoded;
  ASSERT_TRUE(DecodeCredentials(blob.data(), blob.size(), decoded));
  EXPECT_EQ(decoded, pairs);
}

TEST(CredentialsBlob, APairThatDoesNotDecryptIsLeftOut) {
  std::wstring good;
  ASSERT_EQ(ProtectPassword(L"fine", good), kOk);
  std::vector<std::uint8_t> blob = BuildCredentialsBlob({{L"bad", L"XYZ"}, {L"good", good}});
  std::vector<CredentialPair> decoded;
  ASSERT_TRUE(DecodeCredentials(blob.data(), blob.size(), decoded));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0], (CredentialPair{L"good", L"fine"}));
}

TEST(CredentialsBlob, APasswordThatCannotBeProtectedFailsTheEncoding) {
  std::vector<std::uint8_t> blob;
  EXPECT_FALSE(EncodeCredentials({{L"u", std::wstring(12801, L'x')}}, blob));
  EXPECT_FALSE(EncodeCredentials({{L"u", L""}}, blob));
}

// ---- "/install" credentials argument ----

TEST(CredentialsArgument, UserIsTheTextBeforeTheLastColon) {
  std::wstring argument = EncodeCredentialsArgument({L"DOMAIN:user", L"pa:ss"});
  ASSERT_FALSE(argument.empty());
  EXPECT_EQ(argument.rfind(L':'), std::wstring(L"DOMAIN:user").size());
  CredentialPair pair;
  ASSERT_EQ(DecodeCredentialsArgument(argument, pair), kOk);
  EXPECT_EQ(pair, (CredentialPair{L"DOMAIN:user", L"pa:ss"}));
}

TEST(CredentialsArgument, MalformedArgumentsAreRefused) {
  CredentialPair pair{L"keep", L"keep"};
  EXPECT_EQ(DecodeCredentialsArgument(L"nocolon", pair), E_UPD_COMMAND_LINE);
  EXPECT_EQ(DecodeCredentialsArgument(L":ABCD", pair), E_UPD_COMMAND_LINE);
  EXPECT_EQ(DecodeCredentialsArgument(L"user:", pair), kErrorInvalidData);
  EXPECT_EQ(DecodeCredentialsArgument(L"user:plain text", pair), kErrorInvalidData);
  EXPECT_EQ(pair, (CredentialPair{L"keep", L"keep"}));
  EXPECT_TRUE(EncodeCredentialsArgument({L"u", L""}).empty());
}

}  // namespace
}  // namespace updater
