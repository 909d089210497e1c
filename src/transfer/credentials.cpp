#include "transfer/credentials.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/logger.h"
#include "base/paths.h"
#include "base/registry.h"
#include "base/string_table.h"
#include "resources/string_ids.h"

namespace updater {

namespace {

constexpr wchar_t kProductRootKey[] = L"Software\\Velmora\\Kestrune Updater";
constexpr std::size_t kHandOverSizeField = 4;

std::wstring HandOverBase(const std::wstring& recordedExecutablePath) {
  std::wstring base = recordedExecutablePath;
  std::replace(base.begin(), base.end(), L'\\', L'_');
  return base;
}

// The mapped size of a view, so that a size field written by someone else cannot send us past it.
std::size_t MappedRegionSize(const void* view) {
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(view, &info, sizeof(info)) == 0) return 0;
  return info.RegionSize;
}

}  // namespace

std::wstring CredentialsSettingsKeyPath(const std::wstring& appId) {
  if (appId.empty()) return {};
  return std::wstring(kProductRootKey) + L"\\" + appId + L"\\Settings";
}

std::wstring HandOverMappingName(const std::wstring& recordedExecutablePath) {
  return HandOverBase(recordedExecutablePath) + L"_pass";
}

std::wstring HandOverEventName(const std::wstring& recordedExecutablePath) {
  return HandOverBase(recordedExecutablePath) + L"pass_ev";
}

CredentialsPromptTexts BuildCredentialsPromptTexts(const std::wstring& host, const std::wstring& realm,
                                                   const std::wstring& proxyName) {
  CredentialsPromptTexts texts;
  texts.caption = LoadStringFilled(kStrConnectTo, {host});
  texts.message = LoadStringFilled(kStrServerRequiresCredentials, {proxyName, realm});
  return texts;
}

ServerCredentials::ServerCredentials(HKEY hive, std::wstring appId, std::wstring recordedExecutablePath)
    : hive_(hive),
      appId_(std::move(appId)),
      recordedExecutablePath_(recordedExecutablePath.empty() ? ExecutablePath()
                                                             : std::move(recordedExecutablePath)) {
  ::InitializeCriticalSection(&lock_);
}

ServerCredentials::~ServerCredentials() {
  // Passwords do not outlive the provider in its own memory.
  for (CredentialPair& pair : pairs_) std::fill(pair.password.begin(), pair.password.end(), L'\0');
  ::DeleteCriticalSection(&lock_);
}

void ServerCredentials::ResetCursor() {
  CriticalSectionLock hold(lock_);
  storedCursor_ = 0;
}

bool ServerCredentials::GetStored(std::wstring& user, std::wstring& password) {
  CriticalSectionLock hold(lock_);
  if (storedCursor_ >= pairs_.size()) return false;
  user = pairs_[storedCursor_].user;
  password = pairs_[storedCursor_].password;
  suppliedIndex_ = static_cast<std::ptrdiff_t>(storedCursor_);
  return true;
}

bool ServerCredentials::GetLastSupplied(std::wstring& user, std::wstring& password) const {
  CriticalSectionLock hold(lock_);
  if (suppliedIndex_ < 0 || static_cast<std::size_t>(suppliedIndex_) >= pairs_.size()) return false;
  user = pairs_[static_cast<std::size_t>(suppliedIndex_)].user;
  password = pairs_[static_cast<std::size_t>(suppliedIndex_)].password;
  return true;
}

bool ServerCredentials::GetEntered(std::wstring& user, std::wstring& password) {
  CriticalSectionLock hold(lock_);
  if (enteredIndex_ < 0 || static_cast<std::size_t>(enteredIndex_) >= pairs_.size()) return false;
  user = pairs_[static_cast<std::size_t>(enteredIndex_)].user;
  password = pairs_[static_cast<std::size_t>(enteredIndex_)].password;
  suppliedIndex_ = enteredIndex_;
  return true;
}

void ServerCredentials::Advance() {
  CriticalSectionLock hold(lock_);
  if (storedCursor_ < pairs_.size()) ++storedCursor_;
}

void ServerCredentials::SetRealm(const std::wstring& realm) { realm_ = realm; }
void ServerCredentials::SetProxyName(const std::wstring& proxyName) { proxyName_ = proxyName; }
void ServerCredentials::SetHost(const std::wstring& host) { host_ = host; }

void ServerCredentials::SetPromptFunction(CredentialsPromptFunction prompt) { prompt_ = std::move(prompt); }

bool ServerCredentials::Prompt(HWND parent) {
  if (!prompt_) return false;
  CredentialsPromptAnswer answer;
  if (!prompt_(parent, BuildCredentialsPromptTexts(host_, realm_, proxyName_), answer)) return false;
  if (answer.user.empty()) return false;
  {
    CriticalSectionLock hold(lock_);
    enteredIndex_ = static_cast<std::ptrdiff_t>(AddPairLocked({answer.user, answer.password}));
  }
  // A pair that cannot be remembered is still used for this run; the user is not told.
  if (answer.remember && !answer.password.empty() && !RememberCredentials(answer.user, answer.password))
    Log(kLogDebug, L"The credentials were not remembered");
  std::fill(answer.password.begin(), answer.password.end(), L'\0');
  return true;
}

std::size_t ServerCredentials::AddPair(const CredentialPair& pair) {
  CriticalSectionLock hold(lock_);
  return AddPairLocked(pair);
}

std::size_t ServerCredentials::AddPairLocked(const CredentialPair& pair) {
  auto found = std::find(pairs_.begin(), pairs_.end(), pair);
  if (found != pairs_.end()) return static_cast<std::size_t>(found - pairs_.begin());
  pairs_.push_back(pair);
  return pairs_.size() - 1;
}

std::vector<CredentialPair> ServerCredentials::Pairs() const {
  CriticalSectionLock hold(lock_);
  return pairs_;
}

bool ServerCredentials::ReadRememberedText(std::wstring& text) const {
  std::wstring keyPath = CredentialsSettingsKeyPath(appId_);
  if (keyPath.empty()) return false;
  std::optional<std::wstring> stored =
      RegistryKey::Open(hive_, keyPath, RegistryView::k32, KEY_QUERY_VALUE).ReadString(kValueUserDetails);
  if (!stored) return false;
  text = std::move(*stored);
  return true;
}

bool ServerCredentials::WriteRememberedText(const std::wstring& text) const {
  std::wstring keyPath = CredentialsSettingsKeyPath(appId_);
  if (keyPath.empty()) return false;
  LSTATUS status = ERROR_SUCCESS;
  RegistryKey key = RegistryKey::Create(hive_, keyPath, RegistryView::k32, KEY_QUERY_VALUE | KEY_SET_VALUE, &status);
  if (!key) {
    LogError(L"Opening the settings key failed", status);
    return false;
  }
  status = key.WriteString(kValueUserDetails, text);
  if (status != ERROR_SUCCESS) {
    LogError(L"Writing UserDetailsU failed", status);
    return false;
  }
  return true;
}

bool ServerCredentials::LoadRemembered(std::vector<CredentialPair>& list) const {
  std::wstring text;
  if (!ReadRememberedText(text) || text.empty()) return false;
  std::vector<std::uint8_t> blob;
  if (!HexToBytes(text, blob)) {
    Log(kLogError, L"UserDetailsU is not hexadecimal text");
    return false;
  }
  return DecodeCredentials(blob.data(), blob.size(), list);
}

bool ServerCredentials::RememberCredentials(const std::wstring& user, const std::wstring& password) {
  if (user.empty() || password.empty()) return false;
  std::vector<CredentialPair> remembered;
  LoadRemembered(remembered);
  CredentialPair pair{user, password};
  if (std::find(remembered.begin(), remembered.end(), pair) != remembered.end()) return false;
  remembered.push_back(pair);
  std::vector<std::uint8_t> blob;
  if (!EncodeCredentials(remembered, blob)) return false;
  return WriteRememberedText(BytesToHex(blob));
}

bool ServerCredentials::HandOverCredentials() {
  std::vector<CredentialPair> pairs = Pairs();
  if (pairs.empty()) return false;
  std::vector<std::uint8_t> blob;
  if (!EncodeCredentials(pairs, blob)) return false;

  handOverView_.Reset();
  handOverMapping_.Reset();
  handOverEvent_.Reset();
  std::size_t mappingSize = blob.size() + kHandOverSizeField;
  std::wstring mappingName = HandOverMappingName(recordedExecutablePath_);
  handOverMapping_.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              static_cast<DWORD>(mappingSize), mappingName.c_str()));
  if (!handOverMapping_) {
    LogError(L"CreateFileMapping() failed for the credentials hand-over", ::GetLastError());
    return false;
  }
  // A block left by another sender may be smaller than ours: mapping our size then fails instead
  // of writing past it.
  handOverView_.Reset(::MapViewOfFile(handOverMapping_.Get(), FILE_MAP_WRITE, 0, 0, mappingSize));
  if (!handOverView_) {
    LogError(L"MapViewOfFile() failed for the credentials hand-over", ::GetLastError());
    handOverMapping_.Reset();
    return false;
  }
  auto* bytes = static_cast<std::uint8_t*>(handOverView_.Get());
  std::uint32_t size = static_cast<std::uint32_t>(blob.size());
  std::memcpy(bytes, &size, kHandOverSizeField);
  std::memcpy(bytes + kHandOverSizeField, blob.data(), blob.size());
  handOverEvent_.Reset(::CreateEventW(nullptr, FALSE, FALSE, HandOverEventName(recordedExecutablePath_).c_str()));
  return true;
}

bool ServerCredentials::WaitForHandOverReceipt(DWORD timeoutMs) {
  if (!handOverEvent_) return false;
  return ::WaitForSingleObject(handOverEvent_.Get(), timeoutMs) == WAIT_OBJECT_0;
}

bool ServerCredentials::ReceiveCredentials() {
  UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, HandOverMappingName(recordedExecutablePath_).c_str()));
  if (!mapping) return false;
  UniqueMappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return false;
  std::size_t region = MappedRegionSize(view.Get());
  if (region < kHandOverSizeField) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(view.Get());
  std::uint32_t size = 0;
  std::memcpy(&size, bytes, kHandOverSizeField);
  if (size > region - kHandOverSizeField) {
    Log(kLogError, L"The credentials hand-over block is larger than its mapping");
    return false;
  }
  std::vector<CredentialPair> received;
  bool parsed = DecodeCredentials(bytes + kHandOverSizeField, size, received);
  view.Reset();
  mapping.Reset();
  UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, HandOverEventName(recordedExecutablePath_).c_str()));
  if (event) ::SetEvent(event.Get());
  if (!parsed || received.empty()) return false;
  CriticalSectionLock hold(lock_);
  for (const CredentialPair& pair : received) AddPairLocked(pair);
  return true;
}

void ServerCredentials::LoadAtStart() {
  if (ReceiveCredentials()) return;
  std::vector<CredentialPair> remembered;
  if (!LoadRemembered(remembered)) return;
  CriticalSectionLock hold(lock_);
  for (const CredentialPair& pair : remembered) AddPairLocked(pair);
}

Result RememberPasswordCommand(HKEY hive, const std::wstring& appId, const std::wstring& user,
                               const std::wstring& password) {
  ServerCredentials credentials(hive, appId);
  return credentials.RememberCredentials(user, password) ? kOk : E_UPD_NOT_MODIFIED;
}

bool IsProxyRelatedError(Result code) { return code >= 12000 && code <= 12175; }

std::wstring CustomProxyHint(Result code, const std::wstring& proxy) {
  if (proxy.empty() || !IsProxyRelatedError(code)) return {};
  return LoadStringFilled(kStrCustomProxyHint, {proxy});
}

}  // namespace updater
