// Authenticode checks of installers: trusted by the system and signed by the updater's own publisher.
#pragma once

#include <windows.h>

#include <string>

#include "core/result_codes.h"

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

}  // namespace updater
