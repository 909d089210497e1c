// Detached CMS (PKCS#7 SignedData, DER) signatures over a file's exact bytes, made by the
// publisher whose code-signing certificate signed the updater itself.
#pragma once

#include <string>

#include "base/result_codes.h"

namespace updater {

// Checks `signature` over `content`: one signer, SHA-256 digest, an authenticated messageDigest
// attribute equal to the SHA-256 that this function computes over `content` itself (the platform's
// own verification may not compare it), a signature over the attributes that verifies with the
// signer's certificate, a chain to a trusted root valid now for code signing, and the subject of the
// Authenticode signer of `updaterPath`. 0, or 0xE0000034 with `reason` saying which rule failed.
Result VerifyDetachedSignature(const std::string& content, const std::string& signature,
                               const std::wstring& updaterPath, std::wstring& reason);

}  // namespace updater
