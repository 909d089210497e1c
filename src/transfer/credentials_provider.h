// Credentials the download engine may offer to a server, a proxy, an FTP server or a network
// share: remembered pairs, pairs handed over by the starting instance, pairs typed in this run.
// The engine only needs the operations below; the concrete provider implements them.
#pragma once

#include <windows.h>

#include <string>

namespace updater {

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
