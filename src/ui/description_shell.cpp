// The description's pieces that reach the system: the RTF prolog from the system's language and
// fonts, links opened through the shell, and the link colours of the user's settings.
#include "ui/description_render.h"

#include <windows.h>

#include <mutex>
#include <new>
#include <vector>

#include "base/os_version.h"
#include "base/process.h"
#include "base/registry.h"

namespace updater {
namespace {

// Shortcuts written by earlier OpenLink calls, deleted once the next link is opened.
struct OpenedShortcuts {
  std::mutex lock;
  std::vector<std::wstring> paths;
};

OpenedShortcuts& Shortcuts() {
  static OpenedShortcuts* shortcuts = new OpenedShortcuts;  // outlives every caller at exit
  return *shortcuts;
}

}  // namespace

RtfPrologInputs SystemRtfPrologInputs() {
  RtfPrologInputs inputs;
  LANGID language = ::GetSystemDefaultLangID();
  inputs.language = language;
  DWORD codePage = 0;
  if (::GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(wchar_t)) != 0 &&
      codePage != 0) {
    inputs.codePage = codePage;
  }
  inputs.font0 = L"Segoe UI";
  inputs.font2 = IsWindows8OrLater() ? L"Segoe UI Semibold" : L"Segoe UI";
  return inputs;
}

std::string SystemRtfProlog() {
  RtfPrologInputs inputs = SystemRtfPrologInputs();
  return RtfProlog(inputs.codePage, inputs.font0, inputs.font2, inputs.language);
}

std::string RenderUpdateDescription(const DescriptionSource& source, const DescriptionTexts& texts,
                                    StyleRunList& runs) {
  std::string prolog;
  try {
    prolog = SystemRtfProlog();
  } catch (const std::bad_alloc&) {
    return {};
  }
  return RenderUpdateDescription(source, texts, prolog, runs);
}

std::string RenderMessage(const std::wstring& title, const std::wstring& body, const std::wstring& uri,
                          const std::wstring& buttonText, StyleRunList& runs) {
  std::string prolog;
  try {
    prolog = SystemRtfProlog();
  } catch (const std::bad_alloc&) {
    return {};
  }
  return RenderMessage(title, body, uri, buttonText, prolog, runs);
}

int CreateInternetShortcutFile(const std::wstring& url, std::wstring& path) {
  std::string content;
  try {
    content = InternetShortcutText(url);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  wchar_t folder[MAX_PATH + 1] = {};
  DWORD folderLength = ::GetTempPathW(MAX_PATH + 1, folder);
  if (folderLength == 0 || folderLength > MAX_PATH) return -1;

  // GetTempFileName reserves a unique "URLxxxx.tmp"; the shortcut takes the same name with the
  // extension the shell needs, created only if it does not exist yet. The reservation is removed.
  UniqueFile file;
  std::wstring shortcutPath;
  for (int attempt = 0; attempt < 8 && !file; ++attempt) {
    wchar_t reserved[MAX_PATH] = {};
    if (::GetTempFileNameW(folder, L"URL", 0, reserved) == 0) return -1;
    std::wstring candidate = reserved;
    std::size_t dot = candidate.find_last_of(L'.');
    if (dot != std::wstring::npos && candidate.find_last_of(L'\\') < dot) candidate.erase(dot);
    candidate += L".url";
    file.Reset(::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    ::DeleteFileW(reserved);
    if (file) shortcutPath = std::move(candidate);
  }
  if (!file) return -1;

  DWORD written = 0;
  bool ok = ::WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
            written == content.size();
  file.Reset();
  if (!ok) {
    ::DeleteFileW(shortcutPath.c_str());
    return -1;
  }
  path = std::move(shortcutPath);
  return 0;
}

int OpenLink(const std::wstring& url) {
  if (url.empty()) return -1;
  OpenedShortcuts& shortcuts = Shortcuts();
  {
    std::lock_guard<std::mutex> hold(shortcuts.lock);
    for (const std::wstring& earlier : shortcuts.paths) ::DeleteFileW(earlier.c_str());
    shortcuts.paths.clear();
  }

  std::wstring path;
  if (CreateInternetShortcutFile(url, path) != 0) return -1;
  {
    std::lock_guard<std::mutex> hold(shortcuts.lock);
    try {
      shortcuts.paths.push_back(path);
    } catch (const std::bad_alloc&) {
      // Not remembered: the file stays in the temporary folder.
    }
  }

  // The shell's handlers may use COM; balanced only when this call initialised it.
  ComInitialization com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  ShellOpen open;
  open.file = path;
  Result result = OpenWithShell(open);
  if (result != kOk) {
    open.verb = nullptr;
    result = OpenWithShell(open);
  }
  return static_cast<int>(result);
}

AnchorColours ReadAnchorColours() {
  AnchorColours colours;
  RegistryKey key = RegistryKey::Open(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings",
                                      RegistryView::kNative, KEY_QUERY_VALUE);
  if (!key) return colours;
  try {
    if (auto text = key.ReadString(L"Anchor Color")) ParseAnchorColour(*text, colours.link);
    if (auto text = key.ReadString(L"Anchor Color Visited")) ParseAnchorColour(*text, colours.visited);
  } catch (const std::bad_alloc&) {
    // The defaults stay.
  }
  return colours;
}

}  // namespace updater
