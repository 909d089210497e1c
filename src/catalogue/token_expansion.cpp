// Tokens in the paths and command lines of the updates configuration file: "[APPDIR]", the installed
// path of a Windows Installer component "[{product}component]" (through msi.dll) and "%VARIABLE%".
#include "catalogue/update_catalogue.h"

#include <windows.h>
#include <msi.h>

#include "base/win_handles.h"

namespace updater {
namespace {

constexpr DWORD kEnvironmentNotFound = 203;  // ERROR_ENVVAR_NOT_FOUND

// Installed path of a component through msi.dll, loaded from the system folder when first needed.
Result SystemComponentPath(const std::wstring& product, const std::wstring& component, std::wstring& path) {
  using QueryFunction = INSTALLSTATE(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, LPDWORD);
  UniqueLibrary msi(::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!msi) return E_UPD_EXPAND_PATH;
  auto query = reinterpret_cast<QueryFunction>(::GetProcAddress(msi.Get(), "MsiGetComponentPathW"));
  if (query == nullptr) return E_UPD_EXPAND_PATH;
  DWORD size = MAX_PATH;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::wstring buffer(size + 1, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    INSTALLSTATE state = query(product.c_str(), component.c_str(), buffer.data(), &length);
    if (state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_SOURCE) {
      buffer.resize(length < buffer.size() ? length : buffer.size());
      path = buffer.c_str();
      return kOk;
    }
    if (state != INSTALLSTATE_MOREDATA) break;
    size = length + 1;  // asked again with the size it reported
  }
  return E_UPD_EXPAND_PATH;
}

Result EnvironmentValue(const std::wstring& name, std::wstring& value) {
  DWORD capacity = MAX_PATH;
  for (;;) {
    std::wstring buffer(capacity, L'\0');
    ::SetLastError(0);
    DWORD length = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), capacity);
    if (length == 0) {
      DWORD error = ::GetLastError();
      if (error == kEnvironmentNotFound || name.empty()) return kEnvironmentNotFound;
      value.clear();  // defined but empty
      return kOk;
    }
    if (length < capacity) {
      value.assign(buffer.data(), length);
      return kOk;
    }
    capacity *= 2;
  }
}

Result ResolveBracketToken(const CatalogueSettings& settings, const std::wstring& token, std::wstring& value) {
  if (token == L"APPDIR") {
    value = settings.appDir;
    return kOk;
  }
  if (!token.empty() && token[0] == L'{') {
    size_t close = token.find(L'}');
    if (close == std::wstring::npos) return E_UPD_EXPAND_PATH;
    std::wstring product = token.substr(0, close + 1);
    std::wstring component = token.substr(close + 1);
    Result result = settings.componentPath ? settings.componentPath(product, component, value)
                                           : SystemComponentPath(product, component, value);
    return result == kOk ? kOk : E_UPD_EXPAND_PATH;
  }
  return E_UPD_EXPAND_PATH;
}

}  // namespace

Result ExpandText(const CatalogueSettings& settings, const std::wstring& text, std::wstring& output) {
  output.clear();
  std::wstring token;
  wchar_t closer = 0;  // the character that ends the open token, 0 when none is open
  for (wchar_t c : text) {
    if (closer == 0) {
      if (c == L'[') {
        closer = L']';
        token.clear();
      } else if (c == L'%') {
        closer = L'%';
        token.clear();
      } else {
        output += c;
      }
      continue;
    }
    if (c != closer) {
      token += c;
      continue;
    }
    std::wstring value;
    Result result = closer == L']' ? ResolveBracketToken(settings, token, value) : EnvironmentValue(token, value);
    closer = 0;
    if (result != kOk) return result;
    if (value.empty()) return kOk;  // an empty value ends the expansion here
    output += value;
  }
  // An unclosed token is dropped.
  return kOk;
}

// Values in a saved selection were expanded when they were written and are
// taken as they are, so that a bracket or percent sign in an expanded path is not read as a token.
Result ExpandForRecord(const CatalogueSettings& settings, const std::wstring& text, std::wstring& output) {
  if (settings.readsSavedSelection) {
    output = text;
    return kOk;
  }
  return ExpandText(settings, text, output);
}

}  // namespace updater
