// The "User Authentication" dialog: asks for the user name and password a server, a proxy, an FTP
// server or a network share wants, and whether to remember them.
#pragma once

#include <windows.h>

#include <string>

#include "transfer/credentials.h"

namespace updater {

// Control identifiers, for whoever drives the dialog.
inline constexpr int kIdcCredentialsMessage = 1001;
inline constexpr int kIdcCredentialsUserLabel = 1002;
inline constexpr int kIdcCredentialsUser = 1003;
inline constexpr int kIdcCredentialsPasswordLabel = 1004;
inline constexpr int kIdcCredentialsPassword = 1005;
inline constexpr int kIdcCredentialsRemember = 1006;
inline constexpr int kIdcCredentialsSizeGrip = 1007;

// Shows the dialog modally over `parent`. Returns 1 (OK: `answer` holds both fields and the check
// box), 2 (Cancel), or -1 when the dialog could not be created. OK is enabled only while the user
// name is not empty.
INT_PTR ShowCredentialsDialog(HWND parent, const CredentialsPromptTexts& texts, CredentialsPromptAnswer& answer);

// The prompt of the runs that may ask the user: this dialog.
CredentialsPromptFunction DialogCredentialsPrompt();

}  // namespace updater
