#include "catalogue/markdown.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ui/description_render.h"

namespace updater {
namespace {

TEST(Markdown, InlinesBecomeTheDescriptionMarkup) {
  struct Case {
    const wchar_t* markdown;
    const wchar_t* markup;
  } cases[] = {
      {L"plain & <simple>", L"plain &amp; "},  // an unknown tag is dropped, its text kept
      {L"a < b > c", L"a &lt; b &gt; c"},
      {L"*em* and **strong** and ***both***", L"<i>em</i> and <b>strong</b> and <i><b>both</b></i>"},
      {L"_em_ __strong__ snake_case_name", L"<i>em</i> <b>strong</b> snake_case_name"},
      {L"**unclosed and *nested* text", L"**unclosed and <i>nested</i> text"},
      {L"* not emphasis *", L"* not emphasis *"},
      {L"`a <b> & c` and `` x ` y ``", L"<code>a &lt;b&gt; &amp; c</code> and <code>x ` y</code>"},
      {L"`unclosed code", L"`unclosed code"},
      {L"[site](https://example.com/a?b=1&c=\"2\" \"title\")",
       L"<a href=\"https://example.com/a?b=1&c=%222%22\">site</a>"},
      {L"[**bold** link](http://x.org)", L"<a href=\"http://x.org\"><b>bold</b> link</a>"},
      {L"[evil](javascript:alert(1))", L"evil"},
      {L"[relative](docs/readme.md)", L"relative"},
      {L"[not a link] (http://x.org)", L"[not a link] (<a href=\"http://x.org\">http://x.org</a>)"},
      {L"![logo *big*](https://x.org/logo.png)", L"<a href=\"https://x.org/logo.png\">logo big</a>"},
      {L"<https://example.com/x> and <mailto:a@b.c>",
       L"<a href=\"https://example.com/x\">https://example.com/x</a> and <a href=\"mailto:a@b.c\">mailto:a@b.c</a>"},
      {L"See https://example.com/path_(x). Or www.example.org!",
       L"See <a href=\"https://example.com/path_(x)\">https://example.com/path_(x)</a>. Or "
       L"<a href=\"http://www.example.org\">www.example.org</a>!"},
      {L"\\*literal\\* \\<tag\\> \\\\", L"*literal* &lt;tag&gt; \\"},
      {L"line one  \nline two\\\nthree\nfour", L"line one<br>line two<br>three four"},
      {L"&amp; &lt; &copy; &#65;&#x1F600;", L"&amp; &lt; &amp;copy; A\U0001F600"},
      {L"<b>raw bold</b> <!-- hidden --> <br/> end", L"raw bold  <br> end"},
      {L"\u00e9t\u00e9 \U0001F680 done", L"\u00e9t\u00e9 \U0001F680 done"},
  };
  for (const Case& c : cases) {
    std::wstring markup = ConvertMarkdownInline(c.markdown);
    EXPECT_EQ(markup, c.markup) << c.markdown;
    EXPECT_TRUE(IsWellFormedMarkup(markup)) << markup;
  }
}

TEST(Markdown, BlocksBecomeItemsOfTheGroupsTheHeadingsChoose) {
  const std::wstring body =
      L"Intro paragraph\nwith two lines.\n\n"
      L"# Features\n"
      L"- first\n"
      L"  * nested item\n"
      L"2. numbered\n"
      L"   continued\n\n"
      L"Enhancements\n============\n"
      L"> quoted *text*\n\n"
      L"```\ncode <x>\n  indented\n```\n"
      L"---\n"
      L"## Bug fixes ##\n"
      L"+ crash fixed\n"
      L"### Bug-Fixes\n"
      L"still a bug fix\n"
      L"#### Other notes\n"
      L"-\n"
      L"last";
  ReleaseNotes notes = ConvertReleaseBody(body);
  EXPECT_EQ(notes.description, (std::vector<std::wstring>{L"Intro paragraph with two lines."}));
  EXPECT_EQ(notes.features, (std::vector<std::wstring>{L"first", L"nested item", L"numbered continued"}));
  EXPECT_EQ(notes.enhancements,
            (std::vector<std::wstring>{L"quoted <i>text</i>", L"<code>code &lt;x&gt;</code><br><code>  indented</code>"}));
  EXPECT_EQ(notes.bugFixes, (std::vector<std::wstring>{L"crash fixed", L"still a bug fix", L"last"}));
}

TEST(Markdown, SetextHeadingsAndThematicBreaksAreToldApart) {
  ReleaseNotes notes = ConvertReleaseBody(L"Features\n---\nitem\n\n***\n\n- a\n---\nafter");
  EXPECT_TRUE(notes.description.empty());
  EXPECT_EQ(notes.features, (std::vector<std::wstring>{L"item", L"a", L"after"}));
  // An unclosed fence runs to the end of the body.
  notes = ConvertReleaseBody(L"text\n~~~~\n<b>\n");
  EXPECT_EQ(notes.description, (std::vector<std::wstring>{L"text", L"<code>&lt;b&gt;</code>"}));
}

// Random bodies made of the characters that drive the converter: every item must be a well-formed
// line of the markup, whatever the mixture.
TEST(Markdown, EveryItemOfAGeneratedCorpusIsWellFormed) {
  const std::vector<std::wstring> pieces = {
      L"*",  L"**", L"_",  L"__", L"`",   L"``", L"[",        L"]",   L"(",        L")",     L"<",
      L">",  L"&",  L";",  L"#",  L"# ",  L"\n", L"\n\n",     L"- ",  L"1. ",      L"> ",    L"```",
      L"\\", L"  \n", L"!", L"\"", L"https://a.b/c", L"www.x.y", L"&amp;", L"&#x1F600;", L"<b>",  L"</b>",
      L"<a href=\"x\">", L"<!--", L"-->", L"word", L" ", L"\t", L"\u00e9", L"\U0001F600", L"=", L"---"};
  std::mt19937 random(20261209);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(1, 80);
  std::size_t items = 0;
  for (int body = 0; body < 3000; ++body) {
    std::wstring text;
    for (int i = length(random); i > 0; --i) text += pieces[pick(random)];
    ReleaseNotes notes = ConvertReleaseBody(text);
    for (const auto* group : {&notes.description, &notes.features, &notes.enhancements, &notes.bugFixes}) {
      for (const std::wstring& item : *group) {
        ++items;
        ASSERT_TRUE(IsWellFormedMarkup(item)) << "body: " << testing::PrintToString(text) << "\nitem: "
                                              << testing::PrintToString(item);
        ASSERT_EQ(item.find_first_of(L"\r\n"), std::wstring::npos) << testing::PrintToString(item);
      }
    }
  }
  EXPECT_GT(items, 3000u);
}

// Inputs that make naive converters quadratic or deep: they must come back, whole and well formed.
TEST(Markdown, HostileBodiesConvert) {
  struct Case {
    const char* name;
    std::wstring body;
  } cases[] = {
      {"10 MB paragraph", std::wstring(10u << 20, L'a')},
      {"brackets", std::wstring(2u << 20, L'[')},
      {"backticks of every length", [] {
         std::wstring text;
         for (int i = 1; i < 2000; ++i) text += std::wstring(static_cast<std::size_t>(i), L'`') + L"x";
         return text;
       }()},
      {"unmatched emphasis", [] {
         std::wstring text;
         for (int i = 0; i < 200000; ++i) text += i % 2 ? L"*a " : L"_b ";
         return text;
       }()},
      {"deep quotes and lists", std::wstring(100000, L'>') + L" - item\n" + std::wstring(100000, L' ') + L"- x"},
      {"many lines", [] {
         std::wstring text;
         for (int i = 0; i < 200000; ++i) text += L"- item\n";
         return text;
       }()},
  };
  for (const Case& c : cases) {
    ReleaseNotes notes = ConvertReleaseBody(c.body);
    std::size_t total = notes.description.size() + notes.features.size() + notes.bugFixes.size();
    EXPECT_GT(total, 0u) << c.name;
    for (const std::wstring& item : notes.description) ASSERT_TRUE(IsWellFormedMarkup(item)) << c.name;
  }
}

}  // namespace
}  // namespace updater
