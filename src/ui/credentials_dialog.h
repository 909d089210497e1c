// The "User Authentication" dialog: asks for the user name and password a server, a proxy, an FTP
// server or a network share wants, and whether to remember them.
#pragma once

#include <windows.h>

#include <string>

namespace updater {

// What the dialog shows besides its fixed labels.
struct CredentialsPromptTexts {
  std::wstring caption;  // "Connect to <host>"
  std::wstring message;  // "The server <proxy> at <realm> requires a username and password. "
};

// What the user entered.
struct CredentialsPromptAnswer {
  std::wstring user;
  std::wstring password;
  bool remember = false;
};

// The caption (string 204 with the host) and the explanatory line (string 147 with the proxy name
// and the realm).
CredentialsPromptTexts BuildCredentialsPromptTexts(const std::wstring& host, const std::wstring& realm,
                                                   const std::wstring& proxyName);

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

}  // namespace updater
