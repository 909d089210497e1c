// The toast notification of a publisher message or of the found-updates announcement: what it
// carries, the template its shape takes, the XML escaping, and the PowerShell script that shows
// it. Pure text work; the templates are resources, handed in by the caller.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace updater {

// A button of the toast: a link the shell opens, or a command of the updater.
struct ToastAction {
  enum class Kind { kLink, kCommand };
  std::wstring argument;
  std::wstring caption;
  Kind kind = Kind::kLink;
};

struct ToastContent {
  std::wstring title;
  std::wstring body;
  std::wstring imagePath;  // local file; empty without image
  std::optional<ToastAction> first;
  std::optional<ToastAction> second;
};

enum class ToastTemplate { kTextOnly, kImageText, kImageTextOneAction, kTextOneAction, kTextTwoActions };

// The quote, ampersand, apostrophe and angle brackets as entities; other printable characters as
// they are, except "$" and the backtick; every other character as a decimal character reference.
std::wstring EscapeToastXml(const std::wstring& text);

// "<protocol>:/Link <argument>" or "<protocol>:/Command <argument>".
std::wstring ToastLaunchString(const ToastAction& action);

// The template for the content's shape (a second action counts only without image).
ToastTemplate ChooseToastTemplate(const ToastContent& content);

// The template filled with the escaped values in the order its shape takes them. `templateText` is
// the template resource of ChooseToastTemplate(content).
std::wstring BuildToastXml(const ToastContent& content, const std::wstring& templateText);

// The script that shows the toast XML under the application identifier (its quotes doubled).
std::wstring ToastScript(const std::wstring& appId, const std::wstring& xml);

}  // namespace updater
