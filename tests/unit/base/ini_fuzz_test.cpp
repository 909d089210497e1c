// Robustness of the INI accessor against damaged files: random bytes, cut UTF-16 text, NULs, huge
// lines, stray brackets. Every call must come back with a sane result; a fixed seed keeps failures
// reproducible.
#include <gtest/gtest.h>

#include <cwctype>
#include <random>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "base/ini_test_files.h"

namespace updater {
namespace {

using testing_support::EncodeText;
using testing_support::Encoding;
using testing_support::TempFolder;
using testing_support::WriteBytes;

class MalformedIniGenerator {
 public:
  explicit MalformedIniGenerator(unsigned seed) : random_(seed) {}

  std::string Next(int index) {
    switch (index % 6) {
      case 0: return RandomBytes(Below(2000));
      case 1: return "\xFF\xFE" + RandomBytes(Below(1500) | 1);  // UTF-16 mark, odd length
      case 2: return EncodeText(IniLikeText(), Encoding::kAnsi);
      case 3: {
        std::string wide = EncodeText(IniLikeText(), Encoding::kUtf16);
        return wide.substr(0, Below(static_cast<unsigned>(wide.size()) + 1));  // cut anywhere
      }
      case 4: return WithNulsAndBrackets();
      default: return index % 200 == 5 ? HugeLines() : EncodeText(IniLikeText(), Encoding::kAnsi);
    }
  }

  unsigned Below(unsigned bound) { return bound == 0 ? 0 : std::uniform_int_distribution<unsigned>(0, bound - 1)(random_); }

 private:
  std::string RandomBytes(unsigned count) {
    std::string bytes(count, '\0');
    for (char& b : bytes) b = static_cast<char>(Below(256));
    return bytes;
  }

  std::wstring Token() {
    static const wchar_t* const kTokens[] = {
        L"[", L"]", L"=", L";", L"\\", L"|", L"\r\n", L"\n", L"\r", L" ", L"\t", L"\"", L"[General]",
        L"[]", L"[Update", L"Feature", L"Feature1", L"FeatureHtml2", L"Flags", L"Alpha|Beta", L";kxw;",
        L"x", L"123", L"-9", L"\u00E9", L"\u4E2D", L"\xD800", L"\xDC00", L"=\\;", L"[[[", L"]]]"};
    return kTokens[Below(sizeof(kTokens) / sizeof(kTokens[0]))];
  }

  std::wstring IniLikeText() {
    std::wstring text = Below(2) ? L";kxw;\r\n" : L"";
    unsigned tokens = Below(400);
    for (unsigned i = 0; i < tokens; ++i) text += Token();
    return text;
  }

  std::string WithNulsAndBrackets() {
    std::string bytes = Below(2) ? "\xFF\xFE" : "";
    unsigned count = Below(600);
    static const char kPieces[] = {'\0', '[', ']', '=', '\n', 'a', ';', '\\'};
    for (unsigned i = 0; i < count; ++i) bytes += kPieces[Below(sizeof(kPieces))];
    return bytes;
  }

  std::string HugeLines() {
    std::wstring text = L"[Huge]\r\nKey=" + std::wstring(100000, L'v') + L"\r\n[" + std::wstring(100000, L's') +
                        L"]\r\n" + std::wstring(100000, L'[') + L"\r\nFeature1=" + std::wstring(100000, L';');
    return EncodeText(text, Below(2) ? Encoding::kAnsi : Encoding::kUtf16);
  }

  std::mt19937 random_;
};

bool StartsWithMarker(const std::string& bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    return bytes.size() >= 12 && bytes.compare(2, 10, std::string(";\0k\0x\0w\0;\0", 10)) == 0;
  }
  return bytes.compare(0, 5, ";kxw;") == 0;
}

TEST(IniFileFuzz, MalformedFilesAlwaysReadCleanly) {
  TempFolder folder;
  MalformedIniGenerator generator(20240501u);
  const FlagSet::Entry table[] = {{L"Alpha", 1}, {L"Beta", 2}};
  constexpr int kFiles = 2000;
  for (int index = 0; index < kFiles; ++index) {
    std::string bytes = generator.Next(index);
    std::wstring path = folder.NewPath(L"fuzz" + std::to_wstring(index) + L".ini");
    ASSERT_TRUE(WriteBytes(path, bytes));
    SCOPED_TRACE(index);

    IniFile file(path);
    ASSERT_EQ(file.ReadBom(), kOk);
    EXPECT_EQ(file.IsUnicode(), bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE');
    EXPECT_EQ(file.CheckHeader(L";kxw;"), StartsWithMarker(bytes));

    std::vector<std::wstring> names = file.SectionNames();
    for (const std::wstring& name : names) EXPECT_FALSE(name.empty());
    // Probe the first section of the file and a name that the generator likes to produce.
    if (names.size() > 1) names.resize(1);
    names.push_back(index % 2 ? L"General" : L"Huge");
    for (const std::wstring& name : names) {
      std::wstring value = file.GetString(name, L"Key");
      EXPECT_LE(value.size(), bytes.size());
      EXPECT_EQ(value.find(L'\0'), std::wstring::npos);
      EXPECT_LE(file.GetDelimitedList(name, L"Key").size(), value.size() + 1);
      EXPECT_LE(file.GetNumberedList(name, L"Feature", L"FeatureHtml").size(), bytes.size());
      FlagSet flags({table[0], table[1]});
      file.GetFlags(name, L"Flags", flags);
      EXPECT_EQ(flags.Value() & ~3u, 0u);
      file.GetInt(name, L"x");
    }
    ::DeleteFileW(path.c_str());
  }
}

TEST(IniFileFuzz, DelimitedListsRoundTrip) {
  std::mt19937 random(77u);
  auto below = [&](unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound - 1)(random); };
  static const wchar_t kAlphabet[] = L"ab;\\ \t\u00E9\u4E2D|=x";
  const unsigned alphabetSize = sizeof(kAlphabet) / sizeof(kAlphabet[0]) - 1;
  auto trim = [](std::wstring text) {
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.erase(0, 1);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.pop_back();
    return text;
  };
  for (int round = 0; round < 5000; ++round) {
    std::vector<std::wstring> items(below(8));
    for (std::wstring& item : items) {
      unsigned length = below(12);
      for (unsigned i = 0; i < length; ++i) item += kAlphabet[below(alphabetSize)];
      item = trim(item);
    }
    // Items are trimmed when read, and a trailing empty item is indistinguishable from a trailing
    // separator; those are the only losses.
    if (!items.empty() && items.back().empty()) items.back() = L"z";
    std::wstring joined = JoinDelimitedList(items);
    ASSERT_EQ(SplitDelimitedList(joined), items) << round;

    // Arbitrary text splits without trouble and re-joins into text that splits the same way,
    // as long as it does not end in an empty item.
    std::wstring text;
    unsigned length = below(40);
    for (unsigned i = 0; i < length; ++i) text += kAlphabet[below(alphabetSize)];
    std::vector<std::wstring> split = SplitDelimitedList(text);
    if (!split.empty() && !split.back().empty()) {
      EXPECT_EQ(SplitDelimitedList(JoinDelimitedList(split)), split) << round;
    }
  }
}

}  // namespace
}  // namespace updater

namespace updater {
namespace {

// Generated files full of what the two ways of reading could disagree on: quotes of both kinds,
// blanks and tabs around "=" and at the ends, repeated keys and sections, keys without "=", empty
// names and values, comments, case differences, long values. Every key (and variants of its name)
// must read the same from the section kept in memory as from its own profile call.
TEST(IniSectionsInMemory, AnswerEveryKeyAsTheProfileFunctionsDo) {
  TempFolder folder;
  std::mt19937 random(20261209u);
  auto below = [&](unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound - 1)(random); };
  const std::vector<std::wstring> names = {L"Name", L"URL", L"URL1", L"Size", L"Feature", L"x", L"Key With Blank",
                                           L"\u00C9t\u00E9", L"Empty", L"Q"};
  const std::vector<std::wstring> values = {L"plain",  L"\"quoted\"", L"'single'", L"\"unbalanced", L"\"", L"''",
                                            L"\"a\"b\"", L"  in  ", L"x = y",    L"",            L"tab\tin",
                                            L"\"  spaced  \"", L"'\"mixed'\"", std::wstring(3000, L'v'), L"\u4E2D\u6587",
                                            std::wstring(L"cut \0after  ", 13)};
  const std::vector<std::wstring> blanks = {L"", L" ", L"\t", L"  \t "};
  auto pick = [&](const std::vector<std::wstring>& pool) { return pool[below(static_cast<unsigned>(pool.size()))]; };
  auto caseVariant = [&](std::wstring text) {
    for (wchar_t& c : text)
      if (below(2) && c < 128) c = static_cast<wchar_t>(std::iswupper(c) ? std::towlower(c) : std::towupper(c));
    return text;
  };

  int compared = 0;
  // Every fifth file may hold the value with a NUL inside; the others never do.
  for (int index = 0; index < 40; ++index) {
    const size_t valueCount = index % 5 == 4 ? values.size() : values.size() - 1;
    std::wstring text = L";kxw; generated\r\n";
    unsigned sections = 1 + below(5);
    std::vector<std::wstring> sectionNames;
    for (unsigned s = 0; s < sections; ++s) {
      std::wstring section = below(5) == 0 && !sectionNames.empty() ? caseVariant(sectionNames[0])
                                                                    : L"Update " + std::to_wstring(s);
      sectionNames.push_back(section);
      text += L"[" + pick(blanks) + section + pick(blanks) + L"]\r\n";
      unsigned lines = below(14);
      for (unsigned l = 0; l < lines; ++l) {
        switch (below(10)) {
          case 0: text += L"; comment " + pick(names) + L"=" + pick(values) + L"\r\n"; break;
          case 1: text += pick(blanks) + pick(names) + pick(blanks) + L"\r\n"; break;  // no "="
          case 2: text += L"=" + pick(values) + L"\r\n"; break;                       // no name
          default:
            text += pick(blanks) + caseVariant(pick(names)) + pick(blanks) + L"=" + pick(blanks) +
                    values[below(static_cast<unsigned>(valueCount))] +
                    pick(blanks) + L"\r\n";
        }
      }
    }
    for (Encoding encoding : {Encoding::kAnsi, Encoding::kUtf16}) {
      std::wstring written = text;
      if (encoding == Encoding::kAnsi)
        for (wchar_t& c : written)
          if (c > 0xFF) c = L'?';
      std::wstring path = folder.NewPath(L"differential" + std::to_wstring(index) + L".ini");
      std::string bytes;
      if (encoding == Encoding::kAnsi) {
        for (wchar_t c : written) bytes += static_cast<char>(c);
      } else {
        bytes = EncodeText(written, Encoding::kUtf16);
      }
      ASSERT_TRUE(WriteBytes(path, bytes));
      IniFile keyByKey(path);
      IniFile inMemory(path);
      inMemory.KeepSectionsInMemory();
      std::vector<std::wstring> probes = sectionNames;
      probes.push_back(L"Missing");
      probes.push_back(L" " + sectionNames[0] + L" ");
      for (const std::wstring& section : probes) {
        for (const std::wstring& name : names) {
          for (const std::wstring& key : {name, caseVariant(name), L" " + name + L"\t"}) {
            SCOPED_TRACE(testing::Message() << "file " << index << " [" << std::string(section.begin(), section.end())
                                            << "] " << std::string(key.begin(), key.end()));
            EXPECT_EQ(inMemory.GetString(section, key), keyByKey.GetString(section, key));
            ++compared;
          }
        }
        EXPECT_EQ(inMemory.GetNumberedList(section, L"URL"), keyByKey.GetNumberedList(section, L"URL"));
      }
      ::DeleteFileW(path.c_str());
    }
  }
  EXPECT_GT(compared, 3000);
}

}  // namespace
}  // namespace updater
