// Release notes written in Markdown, as the description groups of an update: every paragraph and
// list item becomes one line of the small HTML subset the description panes render (elements a,
// b, i, code and br; entities lt, gt and amp), so whatever the notes hold, the lines are well
// formed and carry no other markup.
//
// The dialect, with CommonMark's rules as the reference:
// - blocks: paragraphs; ATX ("#" to "######") and setext ("===" / "---") headings; bullet ("-",
//   "+", "*") and numbered ("1." / "1)") list items, nested lists flattened into items; fenced
//   code blocks ("```" / "~~~") as one item of code lines; block quotes, whose content is read as
//   blocks of its own; thematic breaks, which only end the block before them;
// - inlines: backslash escapes; code spans; links "[text](url "title")" and images
//   "![alt](url)", which become a link with the alternative text; autolinks "<https://...>" and
//   bare "http://", "https://" and "www." addresses; emphasis and strong emphasis with "*" and "_";
//   hard line breaks (two blanks or a backslash at the end of a line); the entities amp, lt, gt,
//   quot, apos, nbsp and numeric ones;
// - raw HTML tags and comments are dropped and their text kept; links go only to http, https, ftp
//   and mailto addresses, others keep their text without a link; reference links, tables and
//   indented code blocks are read as plain text.
#pragma once

#include <string>
#include <vector>

namespace updater {

struct ReleaseNotes {
  std::vector<std::wstring> description;
  std::vector<std::wstring> features;
  std::vector<std::wstring> enhancements;
  std::vector<std::wstring> bugFixes;
};

// The groups of a release body. A heading reading "Features", "Enhancements" or "Bug Fixes" (any
// case, blanks around ignored) switches the group that the following items go to; the others
// start in `description`. Headings themselves give no item.
ReleaseNotes ConvertReleaseBody(const std::wstring& body);

// The inline content of one block (its lines joined with "\n") as one markup line.
std::wstring ConvertMarkdownInline(const std::wstring& text);

}  // namespace updater
