// Authenticode checks of installers: trusted by the system and signed by the updater's own publisher.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

// Checks that `candidate` carries a trusted signature from the same subject as `reference`.
// Returns 0; a system error from reading a signer certificate; 0xE0000026 when the candidate's
// signature is not trusted; 0xE000002A when the two subjects differ. An unsigned reference accepts
// any candidate: the result is 0 and `referenceUnsigned` (when given) is set.
Result VerifySignatureTrust(const std::wstring& reference, const std::wstring& candidate,
                            bool* referenceUnsigned = nullptr);

// VerifySignatureTrust with the running executable as the reference, logging failures.
Result VerifyDigitalSignature(const std::wstring& candidate, bool* referenceUnsigned = nullptr);

// The decision once both subjects and the trust result are known: a trust failure (non-zero)
// gives 0xE0000026, otherwise equal subjects give 0 and different ones 0xE000002A.
Result SignatureVerdict(LONG trustResult, const std::wstring& referenceSubject, const std::wstring& candidateSubject);

// Subjects match when they are equal character by character; a subject that could not be rendered
// (empty) names no publisher and matches nothing.
bool SubjectNamesMatch(const std::wstring& referenceSubject, const std::wstring& candidateSubject);

// The signer certificate of a signed file, read through the Windows Installer with an invalid hash
// being fatal. 0, TRUST_E_NOSIGNATURE for an unsigned file, or another failure code.
Result ReadSignerCertificate(const std::wstring& path, UniqueCertContext& certificate);

// The certificate's subject as "CN=..., O=..., L=..., C=..."; empty when it cannot be rendered.
std::wstring CertificateSubject(PCCERT_CONTEXT certificate);

// What the chain of a signer must satisfy beyond the Authenticode policy and a trusted root.
struct ChainChecks {
  bool timeValidNow = false;      // every certificate valid at this moment (nothing else vouches for the time)
  bool codeSigningUsage = false;  // the chain is valid for code signing
};
// Builds the signer's chain (with the extra certificates the signature carries) and applies the
// Authenticode chain policy without revocation checks: 0 or the failure (CERT_E_*, TRUST_E_*).
LONG VerifyCodeSigningChain(PCCERT_CONTEXT signer, HCERTSTORE extraCertificates, const ChainChecks& checks);

}  // namespace updater
