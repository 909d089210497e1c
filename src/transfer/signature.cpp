#include "transfer/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <vector>

#include "base/logger.h"
#include "base/paths.h"
#include "base/win_handles.h"

namespace updater {
namespace {

// msi.dll's MsiGetFileSignatureInformationW, reached by its export ordinal.
using FileSignatureQuery = HRESULT(WINAPI*)(LPCWSTR path, DWORD flags, PCCERT_CONTEXT* certificate, BYTE* hash,
                                            DWORD* hashSize);
constexpr WORD kFileSignatureQueryOrdinal = 224;
constexpr DWORD kInvalidHashIsFatal = 1;
constexpr DWORD kSignatureHashBufferSize = 256;
constexpr DWORD kSubjectNameFormat = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;  // 0x02000003

Result LastErrorOrFail() {
  DWORD error = ::GetLastError();
  return error != 0 ? static_cast<Result>(error) : kResultFail;
}

// WinVerifyTrust with the generic Authenticode action, no window, no user interface and no
// revocation checks.
LONG RunWinVerifyTrust(const std::wstring& path) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
  LONG result = ::WinVerifyTrust(noWindow, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(noWindow, &action, &data);
  return result;
}

// The certificates embedded in a file's signature, so that the chain can reach the issuers the
// signer shipped; null when the file carries none.
UniqueCertStore OpenEmbeddedCertificates(const std::wstring& path) {
  UniqueCertStore store;
  DWORD encoding = 0, contentType = 0, formatType = 0;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store.Put(),
                          nullptr, nullptr))
    store.Reset();
  return store;
}

// Chain faults that mean "not trusted" whatever the policy provider says about them.
LONG ChainStatusError(DWORD errorStatus) {
  if (errorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) return static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
  if (errorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) return static_cast<LONG>(CERT_E_CHAINING);
  if (errorStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<LONG>(TRUST_E_CERT_SIGNATURE);
  return 0;
}

// Some WinVerifyTrust implementations accept a SHA-256 signature whose root is not trusted; the
// Authenticode chain policy on the signer's chain catches that. Time validity is left to
// WinVerifyTrust, which honours timestamps, and revocation is not checked at all.
LONG VerifySignerChain(const std::wstring& path, PCCERT_CONTEXT signer) {
  UniqueCertStore embedded = OpenEmbeddedCertificates(path);
  return VerifyCodeSigningChain(signer, embedded ? embedded.Get() : signer->hCertStore, ChainChecks{});
}

}  // namespace

Result ReadSignerCertificate(const std::wstring& path, UniqueCertContext& certificate) {
  UniqueLibrary msi(::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!msi) return LastErrorOrFail();
  auto query = reinterpret_cast<FileSignatureQuery>(
      ::GetProcAddress(msi.Get(), MAKEINTRESOURCEA(kFileSignatureQueryOrdinal)));
  if (query == nullptr) return LastErrorOrFail();
  std::vector<BYTE> hash(kSignatureHashBufferSize);
  DWORD hashSize = static_cast<DWORD>(hash.size());
  PCCERT_CONTEXT signer = nullptr;
  HRESULT hr = query(path.c_str(), kInvalidHashIsFatal, &signer, hash.data(), &hashSize);
  if (hr == HRESULT_FROM_WIN32(ERROR_MORE_DATA)) {
    if (signer != nullptr) ::CertFreeCertificateContext(signer);
    signer = nullptr;
    hash.resize(hashSize);
    hr = query(path.c_str(), kInvalidHashIsFatal, &signer, hash.data(), &hashSize);
  }
  certificate.Reset(signer);
  if (FAILED(hr)) return static_cast<Result>(hr);
  if (!certificate) return kResultFail;
  return kOk;
}

std::wstring CertificateSubject(PCCERT_CONTEXT certificate) {
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, kSubjectNameFormat, nullptr, 0);
  if (length <= 1) return {};
  std::wstring name(length, L'\0');
  length = ::CertNameToStrW(X509_ASN_ENCODING, subject, kSubjectNameFormat, name.data(), length);
  if (length <= 1) return {};
  name.resize(length - 1);
  return name;
}

LONG VerifyCodeSigningChain(PCCERT_CONTEXT signer, HCERTSTORE extraCertificates, const ChainChecks& checks) {
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof(chainPara);
  LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  if (checks.codeSigningUsage) {
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
  }
  UniqueCertChain chain;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!::CertGetCertificateChain(nullptr, signer, nullptr, extraCertificates, &chainPara, 0, nullptr, &built))
    return static_cast<LONG>(LastErrorOrFail());
  chain.Reset(built);
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof(policyPara);
  policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  if (!checks.timeValidNow) policyPara.dwFlags |= CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
  CERT_CHAIN_POLICY_STATUS policyStatus{};
  policyStatus.cbSize = sizeof(policyStatus);
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.Get(), &policyPara, &policyStatus))
    return static_cast<LONG>(LastErrorOrFail());
  if (policyStatus.dwError != 0) return static_cast<LONG>(policyStatus.dwError);
  DWORD status = chain.Get()->TrustStatus.dwErrorStatus;
  if (checks.timeValidNow && (status & CERT_TRUST_IS_NOT_TIME_VALID)) return static_cast<LONG>(CERT_E_EXPIRED);
  if (checks.codeSigningUsage && (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) return static_cast<LONG>(CERT_E_WRONG_USAGE);
  return ChainStatusError(status);
}

bool SubjectNamesMatch(const std::wstring& referenceSubject, const std::wstring& candidateSubject) {
  return !referenceSubject.empty() && referenceSubject == candidateSubject;
}

Result SignatureVerdict(LONG trustResult, const std::wstring& referenceSubject, const std::wstring& candidateSubject) {
  if (trustResult != 0) return E_UPD_UNTRUSTED_PUBLISHER;
  return SubjectNamesMatch(referenceSubject, candidateSubject) ? kOk : E_UPD_SIGNATURE_MISMATCH;
}

Result VerifySignatureTrust(const std::wstring& reference, const std::wstring& candidate, bool* referenceUnsigned) {
  if (referenceUnsigned != nullptr) *referenceUnsigned = false;
  UniqueCertContext referenceSigner;
  Result result = ReadSignerCertificate(reference, referenceSigner);
  if (result == static_cast<Result>(TRUST_E_NOSIGNATURE)) {
    if (referenceUnsigned != nullptr) *referenceUnsigned = true;
    return kOk;
  }
  if (result != kOk) return result;

  UniqueCertContext candidateSigner;
  result = ReadSignerCertificate(candidate, candidateSigner);
  if (result != kOk) return result;

  std::wstring referenceSubject = CertificateSubject(referenceSigner.Get());
  std::wstring candidateSubject = CertificateSubject(candidateSigner.Get());

  LONG trust = RunWinVerifyTrust(candidate);
  if (trust == 0) trust = VerifySignerChain(candidate, candidateSigner.Get());
  LogFormat(kLogDebug, L"VerifySignatureTrust returnned: %ld", static_cast<long>(trust));
  return SignatureVerdict(trust, referenceSubject, candidateSubject);
}

Result VerifyDigitalSignature(const std::wstring& candidate, bool* referenceUnsigned) {
  std::wstring self = ExecutablePath();
  if (self.empty()) {
    Result error = LastErrorOrFail();
    LogError(L"GetModuleFileName failed.", error);
    return error;
  }
  Result result = VerifySignatureTrust(self, candidate, referenceUnsigned);
  if (result != kOk) LogError(L"VerifyDigitalSignature failed.", result);
  return result;
}

}  // namespace updater
