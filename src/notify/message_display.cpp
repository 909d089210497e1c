#include "notify/message_display.h"

#include <shlobj.h>

#include "base/format_size.h"
#include "base/hashing.h"
#include "base/logger.h"
#include "base/os_version.h"
#include "base/paths.h"
#include "base/registry.h"
#include "base/string_table.h"
#include "base/text_util.h"
#include "catalogue/version.h"
#include "config/command_line.h"
#include "install/script_runner.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "transfer/async_download.h"
#include "transfer/download_rules.h"

namespace updater {
namespace {

constexpr wchar_t kEarlierProtocolName[] = L"velmora-morvask-updater";
constexpr DWORD kPopupCloseWaitMs = INFINITE;

// A template resource as text: UTF-8 bytes, exactly as stored.
std::wstring LoadToastTemplate(ToastTemplate shape) {
  int id = IDR_TOAST_TEXT_ONLY;
  switch (shape) {
    case ToastTemplate::kTextOnly:
      id = IDR_TOAST_TEXT_ONLY;
      break;
    case ToastTemplate::kImageText:
      id = IDR_TOAST_IMAGE_TEXT;
      break;
    case ToastTemplate::kImageTextOneAction:
      id = IDR_TOAST_IMAGE_TEXT_ONE_ACTION;
      break;
    case ToastTemplate::kTextOneAction:
      id = IDR_TOAST_TEXT_ONE_ACTION;
      break;
    case ToastTemplate::kTextTwoActions:
      id = IDR_TOAST_TEXT_TWO_ACTIONS;
      break;
  }
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  if (!bytes) return {};
  return FromUtf8(std::string_view(bytes, ::SizeofResource(module, found)));
}

std::wstring DisplayNameOf(const UpdateRecord& record) {
  std::wstring version = record.Version.IsZero() ? std::wstring() : FormatVersion(record.Version);
  if (version.empty() || record.Name.find(version) != std::wstring::npos) return record.Name;
  return record.Name + L" " + version;
}

std::wstring ClassesKey(const std::wstring& protocol, const wchar_t* below = L"") {
  return L"Software\\Classes\\" + protocol + below;
}

}  // namespace

std::wstring MessageImagePath(const std::wstring& folder, const std::wstring& id, const std::wstring& url) {
  std::wstring name = url.substr(0, url.find_first_of(L"?#"));
  std::size_t slash = name.find_last_of(L"/\\");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  std::wstring clean;
  for (wchar_t c : name)
    if (c >= 0x20 && std::wstring(L"<>:\"/\\|?*").find(c) == std::wstring::npos) clean += c;
  // A name of dots alone (".", "..") names no file of its own.
  if (clean.find_first_not_of(L'.') == std::wstring::npos) clean = L"image";
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + id.substr(0, 10) + L"_" + clean;
}

Notification NotificationOfMessage(const PublisherMessage& message, const std::wstring& imagePath) {
  Notification notification;
  notification.id = message.id;
  notification.expired = message.expired;
  notification.content.title = message.title;
  notification.content.body = message.body;
  notification.content.imagePath = imagePath;
  notification.uri = message.uri;
  notification.buttonText = message.buttonText;
  if (!message.uri.empty()) notification.content.first = ToastAction{message.uri, message.buttonText};
  return notification;
}

Notification FoundUpdatesNotification(const std::wstring& applicationName, const std::wstring& applicationId,
                                      const std::wstring& updaterPath, const UpdateRecord& first) {
  Notification notification;
  ToastContent& content = notification.content;
  content.title = LoadStringFilled(kStrFoundUpdatesFor, {applicationName});
  content.body = LoadStringFilled(
      kStrNameAndDetail, {DisplayNameOf(first), LoadStringFilled(kStrUpdateSize, {FormatSize(first.Size)})});
  content.first = ToastAction{BuildToastInstallCommandLine(updaterPath), LoadStringResource(kStrInstall)};
  notification.id = Sha256HexOfText(content.title + content.body + content.imagePath + content.first->caption);
  content.second = ToastAction{BuildRemindLaterArguments(applicationId, notification.id),
                               LoadStringResource(kStrRemindMeLater), ToastAction::Kind::kCommand};
  return notification;
}

MessagePresenter::~MessagePresenter() {
  if (popupThread_) ::WaitForSingleObject(popupThread_.Get(), kPopupCloseWaitMs);
}

void MessagePresenter::ProcessMessage(const PublisherMessage& message) {
  if (!message.Present() || message.expired) return;
  if (message.WantsProtocol()) RegisterProtocol();
  std::wstring image = message.WantsImage() ? FetchImage(message) : std::wstring();
  ShowMessage(NotificationOfMessage(message, image));
}

void MessagePresenter::AnnounceUpdates(const UpdateRecord& first) {
  Notification notification = FoundUpdatesNotification(settings_.applicationName, settings_.id, ExecutablePath(), first);
  RegisterProtocol();
  ShowMessage(notification);
}

// The image is fetched again only when the server has a newer one than the local copy.
std::wstring MessagePresenter::FetchImage(const PublisherMessage& message) {
  std::wstring folder = settings_.downloadsFolder + L"\\Messages";
  ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  std::wstring path = MessageImagePath(folder, message.id, message.imageUrl);
  AsyncDownloadThread engine(nullptr, nullptr);
  engine.Options().queryLastModified = true;
  engine.Options().sizeLimit = kMaxMessageImageBytes;
  engine.Options().sizeLimitCode = E_UPD_WRONG_SIZE;
  WIN32_FILE_ATTRIBUTE_DATA local{};
  if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &local)) {
    SYSTEMTIME written{};
    if (::FileTimeToSystemTime(&local.ftLastWriteTime, &written)) engine.Options().ifModifiedSince = written;
  }
  Result result = engine.Download(message.imageUrl, path);
  if (result == E_UPD_NOT_MODIFIED) return path;
  if (result != kOk) {
    LogError(L"The message image " + message.imageUrl + L" could not be downloaded", result);
    ::DeleteFileW((path + L".part").c_str());
    return {};
  }
  SYSTEMTIME modified = engine.GetLastModified();
  FILETIME time{};
  if (modified.wYear != 0 && ::SystemTimeToFileTime(&modified, &time)) {
    UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) ::SetFileTime(file.Get(), &time, &time, &time);
  }
  settings_.Store().WriteNumber(SettingsKey::kMessageResources, path, 0);
  return path;
}

bool MessagePresenter::ShowMessage(const Notification& notification) {
  const ToastContent& content = notification.content;
  if ((content.title.empty() && content.body.empty()) || notification.expired) return false;
  std::optional<std::uint32_t> seen = settings_.Store().ReadNumber(SettingsKey::kMessages, notification.id);
  if (seen && *seen == 0) {
    LogFormat(kLogDebug, L"The message %ls was shown before.", notification.id.c_str());
    return false;
  }
  return IsWindows10OrLater() ? ShowToast(notification) : ShowPopup(notification);
}

bool MessagePresenter::ShowToast(const Notification& notification) {
  std::wstring xml = BuildToastXml(notification.content, LoadToastTemplate(ChooseToastTemplate(notification.content)));
  PowerShellRunner runner;
  if (!runner.RunScript(ToastScript(settings_.appId, xml))) {
    LogFormat(kLogError, L"Unable to execute toast notification powershell script. PowerShell output: %ls",
              runner.GetMessage().c_str());
    return false;
  }
  settings_.Store().WriteNumber(SettingsKey::kMessages, notification.id, 0);
  LogFormat(kLogInfo, L"The message %ls was shown as a toast.", notification.id.c_str());
  return true;
}

bool RegisterProtocol() {
  std::wstring protocol = kToastProtocolName;
  if (RegistryKey::Open(HKEY_CURRENT_USER, ClassesKey(protocol, L"\\shell\\open\\command"), RegistryView::kNative))
    return true;
  RegistryKey root = RegistryKey::Create(HKEY_CURRENT_USER, ClassesKey(protocol), RegistryView::kNative, KEY_WRITE);
  if (!root || root.WriteString(L"", L"URL:" + protocol) != ERROR_SUCCESS ||
      root.WriteString(L"URL Protocol", L"") != ERROR_SUCCESS)
    return false;
  RegistryKey command = RegistryKey::Create(HKEY_CURRENT_USER, ClassesKey(protocol, L"\\shell\\open\\command"),
                                            RegistryView::kNative, KEY_WRITE);
  return command && command.WriteString(L"", ExecutablePath() + L" %1") == ERROR_SUCCESS;
}

void UnregisterProtocols() {
  for (const std::wstring& protocol : {std::wstring(kEarlierProtocolName), std::wstring(kToastProtocolName)})
    for (const wchar_t* below : {L"\\shell\\open\\command", L"\\shell\\open", L"\\shell", L""})
      DeleteRegistryKey(HKEY_CURRENT_USER, ClassesKey(protocol, below), RegistryView::kNative);
}

}  // namespace updater
