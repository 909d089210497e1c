// The updater's credentials provider: the pairs it knows (handed over by the instance that started
// this one, or remembered in the registry, plus those typed in this run), offered one after another
// to the download engine before the user is asked; remembering pairs in the registry; handing the
// pairs over to a second instance through named shared memory.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/win_handles.h"
#include "transfer/credential_protection.h"
#include "transfer/credentials_provider.h"

namespace updater {

// The value of the application's "Settings" key that holds the remembered pairs.
inline constexpr wchar_t kValueUserDetails[] = L"UserDetailsU";

// "Software\Velmora\Kestrune Updater\<id>\Settings"; empty without an id.
std::wstring CredentialsSettingsKeyPath(const std::wstring& appId);

// Names of the hand-over objects for the updater whose recorded executable path is given: the path
// with every backslash replaced by '_', then "_pass" (mapping) or "pass_ev" (event).
std::wstring HandOverMappingName(const std::wstring& recordedExecutablePath);
std::wstring HandOverEventName(const std::wstring& recordedExecutablePath);

// Asks the user for a pair: true for OK (with `answer` filled), false for Cancel. Runs that may ask
// the user give the "User Authentication" dialog (ui); without a prompt nobody is asked.
using CredentialsPromptFunction =
    std::function<bool(HWND parent, const CredentialsPromptTexts& texts, CredentialsPromptAnswer& answer)>;

class ServerCredentials : public CredentialsProvider {
 public:
  // `hive` and `appId` locate the remembered pairs (the current user's "Settings" key of the
  // application). `recordedExecutablePath` names the hand-over objects; empty means the running
  // executable's path.
  ServerCredentials(HKEY hive, std::wstring appId, std::wstring recordedExecutablePath = {});
  ~ServerCredentials() override;
  ServerCredentials(const ServerCredentials&) = delete;
  ServerCredentials& operator=(const ServerCredentials&) = delete;

  // ---- CredentialsProvider ----
  void ResetCursor() override;
  bool GetStored(std::wstring& user, std::wstring& password) override;
  bool GetEntered(std::wstring& user, std::wstring& password) override;
  void Advance() override;
  void SetRealm(const std::wstring& realm) override;
  void SetProxyName(const std::wstring& proxyName) override;
  void SetHost(const std::wstring& host) override;
  // Shows the prompt with the host, realm and proxy name set before. OK with a user name makes the
  // pair the entered one (added to the list unless already there) and remembers it when asked to and
  // both texts are not empty. Cancel (or OK without a user name) gives false.
  bool Prompt(HWND parent) override;

  // ---- Remembered pairs ----
  // Adds the pair to "UserDetailsU" unless the same pair is there; true when a new pair was written.
  bool RememberCredentials(const std::wstring& user, const std::wstring& password);
  // Appends the remembered pairs to `list`; false when there are none or they cannot be read.
  bool LoadRemembered(std::vector<CredentialPair>& list) const;

  // ---- Hand-over between two instances ----
  // Sender, before it starts the other instance: publishes the list (when not empty) in the mapping
  // and creates the event. The objects stay open as long as this provider (or the next hand-over).
  bool HandOverCredentials();
  // Waits until the receiver signalled that it read the pairs; false on time-out or without a
  // hand-over.
  bool WaitForHandOverReceipt(DWORD timeoutMs);
  // Receiver, while reading its settings: reads the published pairs into the list, signals the event
  // and releases both. True when pairs were received.
  bool ReceiveCredentials();

  // Start of a run: the handed-over pairs, or the remembered ones when nothing was handed over.
  void LoadAtStart();

  // ---- The list ----
  // Appends a pair unless the same pair is known; returns its index.
  std::size_t AddPair(const CredentialPair& pair);
  std::vector<CredentialPair> Pairs() const;
  // The pair last handed to a server (a stored or the entered one); false when none was asked for.
  bool GetLastSupplied(std::wstring& user, std::wstring& password) const;
  void SetPromptFunction(CredentialsPromptFunction prompt);
  const std::wstring& Host() const { return host_; }
  const std::wstring& Realm() const { return realm_; }
  const std::wstring& ProxyName() const { return proxyName_; }

 private:
  std::size_t AddPairLocked(const CredentialPair& pair);
  bool ReadRememberedText(std::wstring& text) const;
  bool WriteRememberedText(const std::wstring& text) const;

  mutable CRITICAL_SECTION lock_{};
  std::vector<CredentialPair> pairs_;
  std::size_t storedCursor_ = 0;
  std::ptrdiff_t enteredIndex_ = -1;
  std::ptrdiff_t suppliedIndex_ = -1;

  HKEY hive_;
  std::wstring appId_;
  std::wstring recordedExecutablePath_;

  std::wstring host_;
  std::wstring realm_;
  std::wstring proxyName_;
  CredentialsPromptFunction prompt_;

  UniqueHandle handOverMapping_;
  UniqueMappedView handOverView_;
  UniqueHandle handOverEvent_;
};

// "/set rememberpassword <user> <password>": 0 when a new pair was written, 0xE0000013 when the pair
// was already remembered or could not be written.
Result RememberPasswordCommand(HKEY hive, const std::wstring& appId, const std::wstring& user,
                               const std::wstring& password);

// ---- Proxy ----

// WinINet's own errors (12000 to 12175), the ones a proxy may cause.
bool IsProxyRelatedError(Result code);
// String 1082 with the proxy when a custom proxy is set and the result is a WinINet error, else
// empty: appended directly to the run's error message.
std::wstring CustomProxyHint(Result code, const std::wstring& proxy);

}  // namespace updater
