#include "transfer/detached_signature.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "base/hashing.h"
#include "base/win_handles.h"
#include "transfer/signature.h"

namespace updater {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";

std::wstring HexCode(unsigned long code) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lX", code);
  return text;
}

std::wstring LastErrorText() { return HexCode(::GetLastError()); }

// One parameter of the message as bytes; empty when the message has none.
std::vector<BYTE> MessageParameter(HCRYPTMSG message, DWORD parameter, DWORD index) {
  DWORD size = 0;
  if (!::CryptMsgGetParam(message, parameter, index, nullptr, &size) || size == 0) return {};
  std::vector<BYTE> data(size);
  if (!::CryptMsgGetParam(message, parameter, index, data.data(), &size)) return {};
  data.resize(size);
  return data;
}

// The value of the signer's single authenticated messageDigest attribute; false when it is absent,
// repeated or not an octet string.
bool AuthenticatedMessageDigest(const CMSG_SIGNER_INFO& signer, std::vector<BYTE>& digest) {
  const CRYPT_ATTRIBUTE* found = nullptr;
  for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
    if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, kMessageDigestOid) != 0) continue;
    if (found != nullptr) return false;
    found = &attribute;
  }
  if (found == nullptr || found->cValue != 1) return false;
  CRYPT_DATA_BLOB* octets = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, found->rgValue[0].pbData,
                             found->rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &octets, &size))
    return false;
  UniqueLocalMem owned(octets);
  digest.assign(octets->pbData, octets->pbData + octets->cbData);
  return true;
}

Result Refuse(std::wstring& reason, std::wstring why) {
  reason = std::move(why);
  return E_UPD_UPDATES_FILE_UNSIGNED;
}

}  // namespace

Result VerifyDetachedSignature(const std::string& content, const std::string& signature,
                               const std::wstring& updaterPath, std::wstring& reason) {
  reason.clear();
  // The updater's own publisher first: an updater without a signature has none to compare with.
  UniqueCertContext updaterSigner;
  Result own = ReadSignerCertificate(updaterPath, updaterSigner);
  if (own != kOk)
    return Refuse(reason, L"the updater " + updaterPath + L" carries no signature whose publisher could sign it (" +
                              HexCode(own) + L").");
  std::wstring publisher = CertificateSubject(updaterSigner.Get());

  if (signature.empty() || signature.size() > 0x7FFFFFFF || content.size() > 0x7FFFFFFF)
    return Refuse(reason, L"the signature is empty or too large.");
  UniqueCryptMsg message(::CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
  if (!message) return Refuse(reason, L"the signature cannot be decoded (" + LastErrorText() + L").");
  if (!::CryptMsgUpdate(message.Get(), reinterpret_cast<const BYTE*>(signature.data()),
                        static_cast<DWORD>(signature.size()), TRUE))
    return Refuse(reason, L"the signature is not a PKCS#7 message (" + LastErrorText() + L").");
  std::vector<BYTE> type = MessageParameter(message.Get(), CMSG_TYPE_PARAM, 0);
  DWORD messageType = 0;
  if (type.size() == sizeof(DWORD)) std::memcpy(&messageType, type.data(), sizeof(DWORD));
  if (messageType != CMSG_SIGNED) return Refuse(reason, L"the signature is not a SignedData message.");
  if (!::CryptMsgUpdate(message.Get(), reinterpret_cast<const BYTE*>(content.data()),
                        static_cast<DWORD>(content.size()), TRUE))
    return Refuse(reason, L"the file's bytes cannot be given to the signature (" + LastErrorText() + L").");

  std::vector<BYTE> count = MessageParameter(message.Get(), CMSG_SIGNER_COUNT_PARAM, 0);
  DWORD signers = 0;
  if (count.size() == sizeof(DWORD)) std::memcpy(&signers, count.data(), sizeof(DWORD));
  if (signers != 1) return Refuse(reason, L"the signature has " + std::to_wstring(signers) + L" signers, not one.");
  std::vector<BYTE> signerBytes = MessageParameter(message.Get(), CMSG_SIGNER_INFO_PARAM, 0);
  if (signerBytes.size() < sizeof(CMSG_SIGNER_INFO)) return Refuse(reason, L"the signer cannot be read.");
  const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBytes.data());

  if (signer.HashAlgorithm.pszObjId == nullptr || std::strcmp(signer.HashAlgorithm.pszObjId, kSha256Oid) != 0)
    return Refuse(reason, L"the signature's digest is not SHA-256.");
  // The content is compared here, with a digest of its own: some platforms verify only the signed
  // attributes and never hold their messageDigest against the content.
  std::vector<BYTE> signedDigest;
  if (!AuthenticatedMessageDigest(signer, signedDigest))
    return Refuse(reason, L"the signature carries no single authenticated messageDigest attribute.");
  std::vector<BYTE> actualDigest;
  Result hashed = HashBytes(HashAlgorithm::kSha256, content.data(), content.size(), actualDigest);
  if (hashed != kOk) return Refuse(reason, L"the file's SHA-256 cannot be computed (" + HexCode(hashed) + L").");
  if (signedDigest != actualDigest) return Refuse(reason, L"the signature was made over other content.");

  UniqueCertStore certificates(::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.Get()));
  if (!certificates) return Refuse(reason, L"the signature's certificates cannot be read (" + LastErrorText() + L").");
  CERT_INFO wanted{};
  wanted.Issuer = signer.Issuer;
  wanted.SerialNumber = signer.SerialNumber;
  UniqueCertContext signerCertificate(::CertGetSubjectCertificateFromStore(certificates.Get(), kEncoding, &wanted));
  if (!signerCertificate) return Refuse(reason, L"the signature does not carry its signer's certificate.");
  if (!::CryptMsgControl(message.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, signerCertificate.Get()->pCertInfo))
    return Refuse(reason, L"the signature does not verify (" + LastErrorText() + L").");

  LONG chain = VerifyCodeSigningChain(signerCertificate.Get(), certificates.Get(), ChainChecks{true, true});
  if (chain != 0)
    return Refuse(reason, L"the signer's certificate is not trusted for code signing (" +
                              HexCode(static_cast<unsigned long>(chain)) + L").");
  std::wstring subject = CertificateSubject(signerCertificate.Get());
  if (!SubjectNamesMatch(publisher, subject))
    return Refuse(reason, L"it is signed by " + subject + L", not by the updater's publisher " + publisher + L".");
  return kOk;
}

}  // namespace updater
