// Credentials the download engine may offer to a server, a proxy, an FTP server or a network
// share: remembered pairs, pairs handed over by the starting instance, pairs typed in this run.
// The engine only needs the operations below; the concrete provider implements them.
#pragma once

#include <windows.h>

#include <string>

namespace updater {

// What the credentials prompt shows besides its fixed labels.
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

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;

  // Starts offering the known pairs from the first one again (each connection attempt).
  virtual void ResetCursor() = 0;
  // The pair at the cursor; false when every known pair was offered.
  virtual bool GetStored(std::wstring& user, std::wstring& password) = 0;
  // The pair the user typed last; false when none.
  virtual bool GetEntered(std::wstring& user, std::wstring& password) = 0;
  // Moves the cursor to the next known pair.
  virtual void Advance() = 0;
  // The texts shown by Prompt: realm (or "FTP Server" / "Local Network Server"), proxy, host.
  virtual void SetRealm(const std::wstring& realm) = 0;
  virtual void SetProxyName(const std::wstring& proxyName) = 0;
  virtual void SetHost(const std::wstring& host) = 0;
  // Asks the user for a pair; true when one was entered.
  virtual bool Prompt(HWND parent) = 0;
};

}  // namespace updater
