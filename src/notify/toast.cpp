#include "notify/toast.h"

#include <vector>

#include "config/command_line.h"

namespace updater {

std::wstring EscapeToastXml(const std::wstring& text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'"':
        escaped += L"&quot;";
        break;
      case L'&':
        escaped += L"&amp;";
        break;
      case L'\'':
        escaped += L"&apos;";
        break;
      case L'<':
        escaped += L"&lt;";
        break;
      case L'>':
        escaped += L"&gt;";
        break;
      // The XML stands inside a PowerShell here-string, which expands "$name" and "$(...)" and
      // reads the backtick as its escape: as character references they reach the XML unchanged
      // and never the script.
      case L'$':
        escaped += L"&#36;";
        break;
      case L'`':
        escaped += L"&#96;";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          escaped += c;
        } else {
          escaped += L"&#" + std::to_wstring(static_cast<unsigned>(c)) + L";";
        }
        break;
    }
  }
  return escaped;
}

std::wstring ToastLaunchString(const ToastAction& action) {
  std::wstring prefix = action.kind == ToastAction::Kind::kLink ? LinkArgument() : CommandArgument();
  return prefix + L" " + action.argument;
}

ToastTemplate ChooseToastTemplate(const ToastContent& content) {
  bool image = !content.imagePath.empty();
  if (!content.first) return image ? ToastTemplate::kImageText : ToastTemplate::kTextOnly;
  if (image) return ToastTemplate::kImageTextOneAction;
  return content.second ? ToastTemplate::kTextTwoActions : ToastTemplate::kTextOneAction;
}

std::wstring BuildToastXml(const ToastContent& content, const std::wstring& templateText) {
  std::wstring title = EscapeToastXml(content.title);
  std::wstring body = EscapeToastXml(content.body);
  std::wstring image = EscapeToastXml(content.imagePath);
  std::wstring launch1 = content.first ? EscapeToastXml(ToastLaunchString(*content.first)) : L"";
  std::wstring caption1 = content.first ? EscapeToastXml(content.first->caption) : L"";
  std::wstring launch2 = content.second ? EscapeToastXml(ToastLaunchString(*content.second)) : L"";
  std::wstring caption2 = content.second ? EscapeToastXml(content.second->caption) : L"";
  std::vector<std::wstring> values;
  switch (ChooseToastTemplate(content)) {
    case ToastTemplate::kTextOnly:
      values = {title, body};
      break;
    case ToastTemplate::kImageText:
      values = {image, title, body};
      break;
    case ToastTemplate::kImageTextOneAction:
      values = {launch1, image, title, body, launch1, caption1};
      break;
    case ToastTemplate::kTextOneAction:
      values = {launch1, title, body, launch1, caption1};
      break;
    case ToastTemplate::kTextTwoActions:
      values = {launch1, title, body, launch1, caption1, launch2, caption2};
      break;
  }
  // Each "%s" takes the next value; the values are never scanned again.
  std::wstring xml;
  std::size_t next = 0;
  for (std::size_t i = 0; i < templateText.size(); ++i) {
    if (templateText[i] == L'%' && i + 1 < templateText.size() && templateText[i + 1] == L's') {
      if (next < values.size()) xml += values[next++];
      ++i;
    } else {
      xml += templateText[i];
    }
  }
  return xml;
}

namespace {

// Inside single quotes PowerShell takes everything literally except the quote itself, doubled.
std::wstring QuotedForPowerShell(const std::wstring& text) {
  std::wstring quoted;
  for (wchar_t c : text) {
    quoted += c;
    if (c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B) quoted += c;
  }
  return quoted;
}

}  // namespace

std::wstring ToastScript(const std::wstring& appId, const std::wstring& xml) {
  static constexpr const wchar_t* kLines[] = {
      L"[Windows.UI.Notifications.ToastNotificationManager, Windows.UI.Notifications, ContentType = WindowsRuntime] "
      L"| Out-Null",
      L"[Windows.UI.Notifications.ToastNotification, Windows.UI.Notifications, ContentType = WindowsRuntime] | Out-Null",
      L"[Windows.Data.Xml.Dom.XmlDocument, Windows.Data.Xml.Dom.XmlDocument, ContentType = WindowsRuntime] | Out-Null",
      L"",
      nullptr,  // $appId
      L"",
      L"$template = @\"",
      nullptr,  // the XML
      L"\"@",
      L"",
      L"$xml = New-Object Windows.Data.Xml.Dom.XmlDocument",
      L"$xml.LoadXml($template)",
      L"$toast = New-Object Windows.UI.Notifications.ToastNotification $xml",
      L"[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier($appId).Show($toast)",
  };
  std::wstring script;
  int filled = 0;
  for (const wchar_t* line : kLines) {
    if (!script.empty()) script += L"\r\n";
    if (line) {
      script += line;
    } else {
      script += filled++ == 0 ? L"$appId = '" + QuotedForPowerShell(appId) + L"'" : xml;
    }
  }
  return script;
}

}  // namespace updater
