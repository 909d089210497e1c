#include "notify/toast.h"

#include <gtest/gtest.h>

#include "notify/message_display.h"

namespace updater {
namespace {

TEST(Toast, XmlEscapingKeepsPrintableAsciiAndNeverLetsTheScriptExpand) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"plain text 123", L"plain text 123"},
      {L"\"&'<>", L"&quot;&amp;&apos;&lt;&gt;"},
      {L"caf\u00e9", L"caf&#233;"},
      {L"\U0001F600", L"&#55357;&#56832;"},  // each UTF-16 unit of a surrogate pair on its own
      {L"tab\tline\r\n", L"tab&#9;line&#13;&#10;"},
      {L"$(Get-Date) $env:PATH `n", L"&#36;(Get-Date) &#36;env:PATH &#96;n"},
      {L"\"@\r\nRemove-Item", L"&quot;@&#13;&#10;Remove-Item"},  // cannot end the here-string
      {L"", L""},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeToastXml(text), escaped) << text;
}

TEST(Toast, TemplateFollowsTheShapeAndValuesFillInOrder) {
  ToastAction link{L"https://x.invalid/a b", L"Open"};
  ToastAction command{L"purgenotifseen APP ID", L"Later", ToastAction::Kind::kCommand};
  struct Case {
    bool first, image, second;
    ToastTemplate expected;
  };
  const Case cases[] = {
      {false, false, false, ToastTemplate::kTextOnly},         {false, false, true, ToastTemplate::kTextOnly},
      {false, true, false, ToastTemplate::kImageText},         {false, true, true, ToastTemplate::kImageText},
      {true, true, false, ToastTemplate::kImageTextOneAction}, {true, true, true, ToastTemplate::kImageTextOneAction},
      {true, false, false, ToastTemplate::kTextOneAction},     {true, false, true, ToastTemplate::kTextTwoActions},
  };
  for (const Case& c : cases) {
    ToastContent content{L"T", L"B", c.image ? L"C:\\i.png" : L"", std::nullopt, std::nullopt};
    if (c.first) content.first = link;
    if (c.second) content.second = command;
    EXPECT_EQ(ChooseToastTemplate(content), c.expected) << c.first << c.image << c.second;
  }

  EXPECT_EQ(ToastLaunchString(link), L"velmora-morvask-updater2:/Link https://x.invalid/a b");
  EXPECT_EQ(ToastLaunchString(command), L"velmora-morvask-updater2:/Command purgenotifseen APP ID");

  // A value holding "%s" is not filled again; a template with more places than values leaves the
  // rest empty.
  ToastContent content{L"100%s", L"<b>", L"", link, command};
  EXPECT_EQ(BuildToastXml(content, L"[%s|%s|%s|%s|%s|%s|%s|%s]"),
            L"[velmora-morvask-updater2:/Link https://x.invalid/a b|100%s|&lt;b&gt;|"
            L"velmora-morvask-updater2:/Link https://x.invalid/a b|Open|"
            L"velmora-morvask-updater2:/Command purgenotifseen APP ID|Later|]");
}

TEST(Toast, ScriptQuotesTheApplicationIdentifier) {
  std::wstring script = ToastScript(L"Bob's Tool", L"<toast/>");
  EXPECT_NE(script.find(L"\r\n$appId = 'Bob''s Tool'\r\n"), std::wstring::npos) << script;
  EXPECT_NE(script.find(L"$template = @\"\r\n<toast/>\r\n\"@\r\n"), std::wstring::npos) << script;
  EXPECT_EQ(script.rfind(L"CreateToastNotifier($appId).Show($toast)"), script.size() - 40) << "no line break at the end";
}

TEST(MessageImage, LocalNameTakesTheIdPrefixAndACleanFileName) {
  const std::wstring id = L"0123456789ABCDEF";
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"https://cdn.invalid/img/banner.png", L"D:\\m\\0123456789_banner.png"},
      {L"https://cdn.invalid/img/ban:ner*.png?size=2#top", L"D:\\m\\0123456789_banner.png"},
      {L"https://cdn.invalid/a/..", L"D:\\m\\0123456789_image"},
      {L"https://cdn.invalid/", L"D:\\m\\0123456789_image"},
      {L"https://cdn.invalid/%3C|x|%3E.gif", L"D:\\m\\0123456789_%3Cx%3E.gif"},
  };
  for (const auto& [url, path] : cases) EXPECT_EQ(MessageImagePath(L"D:\\m", id, url), path) << url;
}

}  // namespace
}  // namespace updater
