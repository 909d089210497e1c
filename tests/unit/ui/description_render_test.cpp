#include "ui/description_render.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/update_record.h"

namespace updater {
namespace {

StyleRun Span(int start, int end, int kind, std::wstring url = {}, COLORREF color = 0) {
  return StyleRun{start, end, kind, std::move(url), color};
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
  char buffer[4096];
  DWORD read = 0;
  BOOL ok = ::ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
  ::CloseHandle(file);
  return ok ? std::string(buffer, read) : "<cannot read>";
}

struct MarkupCase {
  const wchar_t* line;
  int startPosition;
  const wchar_t* text;
  StyleRunList runs;
  int endPosition;
};

TEST(ConvertMarkupLine, ConvertsTextRunsAndPositions) {
  const MarkupCase cases[] = {
      {L"a &lt; b &amp; c &GT; d", 0, L"a < b & c > d", {}, 14},
      {L"x&nbsp;y", 0, L"xy", {}, 3},
      {L"<b>x</b>y", 0, L"xy", {Span(0, 1, kStyleBold)}, 3},
      {L"<b>x</b>y", 7, L"xy", {Span(7, 8, kStyleBold)}, 10},
      {L"<B>x</B>", 0, L"x", {Span(0, 1, kStyleBold)}, 2},
      // Runs come in the order in which their elements close.
      {L"<b>a<i>b</i>c</b>", 0, L"abc", {Span(1, 2, kStyleItalic), Span(0, 3, kStyleBold)}, 4},
      // Each element of the table gives its kind.
      {L"<sub>1</sub><sup>2</sup><code>3</code><u>4</u><i>5</i>",
       0,
       L"12345",
       {Span(0, 1, kStyleSubscript), Span(1, 2, kStyleSuperscript), Span(2, 3, kStyleCode), Span(3, 4, kStyleUnderline),
        Span(4, 5, kStyleItalic)},
       6},
      // A closing tag closes the innermost element whatever its name.
      {L"<b>x</i>", 0, L"x", {Span(0, 1, kStyleBold)}, 2},
      // Nothing is decoded inside a quoted value.
      {L"see <a href=\"http://h/?a=1&amp;b=<2>\">here</a>.",
       0,
       L"see here.",
       {Span(4, 8, kStyleLink, L"http://h/?a=1&amp;b=<2>")},
       10},
      {L"<font color = \"#FF8000\">c</font>", 0, L"c", {Span(0, 1, kStyleColour, L"", RGB(0xFF, 0x80, 0x00))}, 2},
      {L"<font color=\"red\">c</font><font color=\"#FFF\">d</font><font>e</font>",
       0,
       L"cde",
       {Span(0, 1, kStyleColour), Span(1, 2, kStyleColour), Span(2, 3, kStyleColour)},
       4},
      // A line break is one pane character for later positions.
      {L"a<br>b<br/><u>c</u>", 0, L"a\r\nb\r\nc", {Span(4, 5, kStyleUnderline)}, 6},
      // An "&" without a ";" after it is plain text.
      {L"<b>R & D</b>", 0, L"R & D", {Span(0, 5, kStyleBold)}, 6},
      // Not well formed: shown as written, no runs, position past the raw line.
      {L"<p>x</p>", 0, L"<p>x</p>", {}, 9},
      {L"<b>x", 3, L"<b>x", {}, 8},
      {L"x</b>", 0, L"x</b>", {}, 6},
      {L"<a title=\"t\">x</a>", 0, L"<a title=\"t\">x</a>", {}, 19},
      {L"<b class=\"c\">x</b>", 0, L"<b class=\"c\">x</b>", {}, 19},
      {L"<br clear=\"all\">", 0, L"<br clear=\"all\">", {}, 17},
      {L"1 < 2", 0, L"1 < 2", {}, 6},
      {L"<a href=\"x>y</a>", 0, L"<a href=\"x>y</a>", {}, 17},
  };
  for (const MarkupCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "line: " << testing::PrintToString(std::wstring(c.line)));
    StyleRunList runs = {Span(100, 101, kStyleBold)};  // runs of earlier lines stay first
    int position = c.startPosition;
    EXPECT_EQ(ConvertMarkupLine(c.line, position, runs), c.text);
    EXPECT_EQ(position, c.endPosition);
    StyleRunList expected = {Span(100, 101, kStyleBold)};
    expected.insert(expected.end(), c.runs.begin(), c.runs.end());
    EXPECT_EQ(runs, expected);
  }
}

TEST(EscapeMarkup, ConvertsBackToTheSameText) {
  const std::wstring plain = L"<p>R&D; a&lt;b</p>";
  EXPECT_EQ(EscapeMarkup(plain), L"&lt;p&gt;R&amp;D; a&amp;lt;b&lt;/p&gt;");
  StyleRunList runs;
  int position = 0;
  EXPECT_EQ(ConvertMarkupLine(EscapeMarkup(plain), position, runs), plain);
  EXPECT_TRUE(runs.empty());
}

TEST(EscapeRtfText, KeepsAsciiAlphanumericsAndWritesSignedUnicodeEscapes) {
  EXPECT_EQ(EscapeRtfText(L"Ab9 -\\{\x00E9\x4E2D\xE000\xD83D\xDE00\xFFFF"),
            "Ab9\\u32?\\u45?\\u92?\\u123?\\u233?\\u20013?\\u-8192?\\u-10179?\\u-8704?\\u-1?");
}

TEST(RtfProlog, WritesCodePageFontsAndLanguage) {
  EXPECT_EQ(RtfProlog(1251, L"Segoe UI", L"Segoe UI Semibold", 1049),
            "{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset1 Segoe UI;}"
            "{\\f1\\fnil\\fcharset2 Symbol;}{\\f2\\fnil\\fcharset3 Segoe UI Semibold;}}"
            "{\\*\\generator Msftedit 5.41.15.1507;}\\viewkind4\\uc1\\pard\\li144\\lang1049\\f0\\fs20 ");
  std::string system = SystemRtfProlog();
  EXPECT_EQ(system.rfind("{\\rtf1\\ansi\\ansicpg", 0), 0u);
  EXPECT_NE(system.find("\\lang" + std::to_string(::GetSystemDefaultLangID()) + "\\f0"), std::string::npos);
}

TEST(RenderUpdateDescription, WithoutTitleOrSectionsIsTheGeneralLinesOnly) {
  DescriptionSource source;
  source.name = L"Ignored";
  source.general = {L"Hi <i>you</i>", L"2"};
  StyleRunList runs;
  EXPECT_EQ(RenderUpdateDescription(source, DescriptionTexts{}, "P", runs), "PHi\\u32?you\\par\n2\\par\n}");
  EXPECT_EQ(runs, (StyleRunList{Span(3, 6, kStyleItalic)}));
}

TEST(RenderUpdateDescription, WritesTitleHeadingsAndBullets) {
  DescriptionSource source;
  source.name = L"A&B";
  source.size = 2048;
  source.singleUpdate = true;
  source.general = {L"x"};
  source.features = {L"<b>f</b>", L"g"};
  source.bugFixes = {L"<i>h</i>"};
  StyleRunList runs;
  std::string rtf = RenderUpdateDescription(source, DescriptionTexts{}, "P", runs);
  EXPECT_EQ(rtf,
            "PA\\u38?B\\par\n"
            "Update\\u32?size\\u58?\\u32?2\\u32?KB\\par\n"
            "\\par\n"
            "x\\par\n"
            "\\pard\\li144\\b\\f2\\par New\\u32?Features\\par"
            "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-180\\li400\\b0\\f0 "
            "f\\par{\\pntext\\f1\\'B7\\tab}g\\par"
            "\\pard\\li144\\b\\f2\\par Fixed\\u32?Bugs\\par"
            "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-180\\li400\\b0\\f0 "
            "h\\par}");
  // Pane text: "A&B\r" 0-3, size line 4-21, empty 22, "x\r" 23-24, empty 25, "New Features\r" 26-38,
  // "f\r" 39-40, "g\r" 41-42, empty 43, "Fixed Bugs\r" 44-54, "h" 55.
  EXPECT_EQ(runs, (StyleRunList{Span(0, 3, kStyleBold), Span(39, 40, kStyleBold), Span(55, 56, kStyleItalic)}));
}

TEST(RenderUpdateDescription, UsesTheCallersTexts) {
  DescriptionSource source;
  source.name = L"<n>";
  source.singleUpdate = true;
  source.size = 512;
  source.enhancements = {L"e"};
  DescriptionTexts texts{L"NF", L"Mejoras", L"FB", L"Tama\x00F1o: %s"};
  StyleRunList runs;
  std::string rtf = RenderUpdateDescription(source, texts, "P", runs);
  EXPECT_EQ(rtf.rfind("P\\u60?n\\u62?\\par\n", 0), 0u) << rtf;  // the name is plain text
  EXPECT_NE(rtf.find("Tama\\u241?o\\u58?\\u32?0\\u46?50\\u32?KB\\par\n\\par\n\\pard"), std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\\par Mejoras\\par"), std::string::npos) << rtf;
  EXPECT_EQ(rtf.find("NF"), std::string::npos);
  EXPECT_EQ(rtf.find("FB"), std::string::npos);
}

TEST(RenderMessage, WritesTitleBodyAndLink) {
  StyleRunList runs;
  EXPECT_EQ(RenderMessage(L"T&", L"see", L"http://x/a b", L"<Go>", "P", runs),
            "PT\\u38?\\par\n\\par\n\\u32?\\u32?see\\u32?\\u60?Go\\u62?\\par\n}");
  // "T&\r" 0-2, empty 3, "  see <Go>" from 4: the caption at 10-14.
  EXPECT_EQ(runs, (StyleRunList{Span(0, 2, kStyleBold), Span(10, 14, kStyleLink, L"http://x/a b")}));

  runs.clear();
  EXPECT_EQ(RenderMessage(L"T", L"<i>b</i>", L"", L"Go", "P", runs), "PT\\par\n\\par\n\\u32?\\u32?b\\par\n}");
  EXPECT_EQ(runs, (StyleRunList{Span(0, 1, kStyleBold), Span(5, 6, kStyleItalic)}));
}

TEST(FindLink, MatchesOnlyALinkWithExactlyTheRange) {
  const StyleRunList runs = {Span(0, 5, kStyleBold), Span(2, 4, kStyleLink, L"u1"), Span(2, 5, kStyleLink, L"u2")};
  EXPECT_EQ(FindLink(runs, 2, 4), L"u1");
  EXPECT_EQ(FindLink(runs, 2, 5), L"u2");
  EXPECT_EQ(FindLink(runs, 0, 5), L"");
  EXPECT_EQ(FindLink(runs, 2, 3), L"");
  EXPECT_EQ(FindLink(runs, 3, 4), L"");
}

TEST(InternetShortcut, PercentEncodesUtf8BytesOutsideTheKeptSet) {
  EXPECT_EQ(InternetShortcutText(L"http://h/a b?q=\x00FC&x=[1]#f-_.~!*'();:@=+$,/"),
            "[InternetShortcut]\r\nURL=http://h/a%20b?q=%C3%BC&x=[1]#f-_.~!*'();:@=+$,/\r\n");
  EXPECT_EQ(InternetShortcutText(L"\"%<>\\^{|}\x20AC\xD83D\xDE00\xD800"),
            "[InternetShortcut]\r\nURL=%22%25%3C%3E%5C%5E%7B%7C%7D%E2%82%AC%F0%9F%98%80%EF%BF%BD\r\n");
  // An escape already in the URL is kept; a "%" that starts none is escaped.
  EXPECT_EQ(InternetShortcutText(L"http://h/a%20b%2Fc%zz%4"),
            "[InternetShortcut]\r\nURL=http://h/a%20b%2Fc%25zz%254\r\n");
}

TEST(InternetShortcut, FileIsANewTemporaryUrlFileWithTheShortcut) {
  std::wstring path;
  ASSERT_EQ(CreateInternetShortcutFile(L"http://example.test/a b", path), 0);
  wchar_t folder[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, folder);
  std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
  EXPECT_EQ(path.substr(0, path.size() - name.size()), folder);
  EXPECT_EQ(name.substr(0, 3), L"URL");
  EXPECT_EQ(name.substr(name.size() - 4), L".url");
  EXPECT_EQ(ReadFileBytes(path), InternetShortcutText(L"http://example.test/a b"));
  // The reservation GetTempFileName made is not left behind.
  std::wstring reserved = path.substr(0, path.size() - 4) + L".tmp";
  EXPECT_EQ(::GetFileAttributesW(reserved.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(::DeleteFileW(path.c_str()));

  EXPECT_EQ(OpenLink(L""), -1);
}

TEST(ParseAnchorColour, ReadsThreeDecimalBytes) {
  const struct {
    const wchar_t* text;
    bool ok;
    COLORREF colour;
  } cases[] = {
      {L"0,0,255", true, RGB(0, 0, 255)},    {L"12, 34 ,56", true, RGB(12, 34, 56)},
      {L"255,128,1", true, RGB(255, 128, 1)}, {L"256,0,0", false, 0},
      {L"1,2", false, 0},                     {L"1,2,3,4", false, 0},
      {L"", false, 0},                        {L"1,,3", false, 0},
      {L"-1,0,0", false, 0},                  {L"1,2,3x", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
    COLORREF colour = RGB(9, 9, 9);
    EXPECT_EQ(ParseAnchorColour(c.text, colour), c.ok);
    EXPECT_EQ(colour, c.ok ? c.colour : RGB(9, 9, 9));
  }
}

TEST(FromRecord, TakesNameSizeFlagAndLines) {
  UpdateRecord record;
  record.Name = L"N";
  record.Size = 4096;
  record.Flags.SetValue(kUpdateCritical | kUpdateSingleUpdate);
  record.Description = {L"d"};
  record.Group(kDescriptionFeatures).items = {L"f"};
  record.Group(kDescriptionEnhancements).items = {L"e1", L"e2"};
  record.Group(kDescriptionBugFixes).items = {L"b"};
  DescriptionSource source = FromRecord(record);
  EXPECT_EQ(source.name, L"N");
  EXPECT_EQ(source.size, 4096u);
  EXPECT_TRUE(source.singleUpdate);
  EXPECT_EQ(source.general, std::vector<std::wstring>{L"d"});
  EXPECT_EQ(source.features, std::vector<std::wstring>{L"f"});
  EXPECT_EQ(source.enhancements, (std::vector<std::wstring>{L"e1", L"e2"}));
  EXPECT_EQ(source.bugFixes, std::vector<std::wstring>{L"b"});
  record.Flags.SetValue(kUpdateCritical);
  EXPECT_FALSE(FromRecord(record).singleUpdate);
}

}  // namespace
}  // namespace updater
