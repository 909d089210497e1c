#include "base/ini_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "base/ini_test_files.h"

namespace updater {
namespace {

using testing_support::EncodeText;
using testing_support::Encoding;
using testing_support::FileExists;
using testing_support::ReadBytes;
using testing_support::TempFolder;
using testing_support::WriteBytes;
using Items = std::vector<std::wstring>;

// ---- Reading real files, in both encodings ------------------------------------------------------

class IniFileReadTest : public ::testing::TestWithParam<Encoding> {
 protected:
  IniFile MakeFile(const std::wstring& content) {
    std::wstring path = folder_.NewPath(L"read" + std::to_wstring(++files_) + L".ini");
    EXPECT_TRUE(WriteBytes(path, EncodeText(content, GetParam())));
    IniFile file(path);
    EXPECT_EQ(file.ReadBom(), kOk);
    return file;
  }

  TempFolder folder_;
  int files_ = 0;
};

TEST_P(IniFileReadTest, NumberedListStartsAtOneWhenBareKeyMissingAndEndsAtFirstGap) {
  IniFile file = MakeFile(
      L"[A]\r\nFeature1=one\r\nFeature2=two\r\n"
      L"[B]\r\nFeature1=one\r\nFeature3=three\r\n"
      L"[C]\r\nFeature=zero\r\nfeature1 =  one  \r\nFeature2=\r\nFeature3=three\r\n");
  EXPECT_EQ(file.GetNumberedList(L"A", L"Feature"), (Items{L"one", L"two"}));
  EXPECT_EQ(file.GetNumberedList(L"B", L"Feature"), (Items{L"one"}));
  // Keys match without case, values are trimmed, an empty value ends the list like a missing one.
  EXPECT_EQ(file.GetNumberedList(L"c", L"Feature"), (Items{L"zero", L"one"}));
  EXPECT_TRUE(file.GetNumberedList(L"A", L"Missing").empty());
  EXPECT_TRUE(file.GetNumberedList(L"NoSuchSection", L"Feature").empty());
}

TEST_P(IniFileReadTest, NumberedListPrefersNonEmptyHtmlTwinPerPosition) {
  IniFile file = MakeFile(
      L"[U]\r\n"
      L"Description=plain\r\nDescriptionHtml=<b>html</b>\r\n"
      L"Feature1=plain one\r\nFeatureHtml1=<i>one</i>\r\n"
      L"Feature2=plain two\r\nFeatureHtml2=\r\n"
      L"FeatureHtml3=<i>three</i>\r\n"
      L"Feature5=after the gap\r\n");
  EXPECT_EQ(file.GetNumberedList(L"U", L"Description", L"DescriptionHtml"), (Items{L"<b>html</b>"}));
  EXPECT_EQ(file.GetNumberedList(L"U", L"Feature", L"FeatureHtml"),
            (Items{L"<i>one</i>", L"plain two", L"<i>three</i>"}));
  // Without the twin only the plain keys count.
  EXPECT_EQ(file.GetNumberedList(L"U", L"Feature"), (Items{L"plain one", L"plain two"}));
}

TEST_P(IniFileReadTest, DelimitedListKeepsInnerEmptiesAndHonoursEscapes) {
  IniFile file = MakeFile(
      L"[L]\r\n"
      L"Inner=a;;b\r\n"
      L"Trailing=a;b;\r\n"
      L"Escaped=x\\;y ; z\r\n"
      L"Backslash=c:\\\\dir;\\q\r\n"
      L"LoneBackslash=ab\\\r\n");
  EXPECT_EQ(file.GetDelimitedList(L"L", L"Inner"), (Items{L"a", L"", L"b"}));
  EXPECT_EQ(file.GetDelimitedList(L"L", L"Trailing"), (Items{L"a", L"b"}));
  EXPECT_EQ(file.GetDelimitedList(L"L", L"Escaped"), (Items{L"x;y", L"z"}));
  EXPECT_EQ(file.GetDelimitedList(L"L", L"Backslash"), (Items{L"c:\\dir", L"q"}));
  EXPECT_EQ(file.GetDelimitedList(L"L", L"LoneBackslash"), (Items{L"ab"}));
  EXPECT_TRUE(file.GetDelimitedList(L"L", L"Missing").empty());
}

TEST_P(IniFileReadTest, ValuesAroundAndFarBeyondTheFirstBufferAreReadWhole) {
  std::wstring content = L"[Long]\r\n";
  const std::vector<size_t> lengths = {254, 255, 256, 257, 511, 512, 513, 5000};
  for (size_t length : lengths) {
    content += L"V" + std::to_wstring(length) + L"=" + std::wstring(length - 1, L'x') + L"!\r\n";
  }
  IniFile file = MakeFile(content);
  for (size_t length : lengths) {
    std::wstring value = file.GetString(L"Long", L"V" + std::to_wstring(length));
    ASSERT_EQ(value.size(), length) << length;
    EXPECT_EQ(value.back(), L'!');
  }
}

TEST_P(IniFileReadTest, SectionNamesComeInFileOrderBeyondTheFirstBuffer) {
  std::wstring content;
  Items expected;
  // Reverse alphabetical order, long enough together (about 1,400 characters) to need growth.
  for (int i = 60; i > 0; --i) {
    std::wstring name = L"Section_" + std::to_wstring(1000 + i) + L"_name";
    expected.push_back(name);
    content += L"[" + name + L"]\r\nKey=" + std::to_wstring(i) + L"\r\n";
  }
  IniFile file = MakeFile(content);
  EXPECT_EQ(file.SectionNames(), expected);
  EXPECT_EQ(file.GetString(L"section_1001_NAME", L"key"), L"1");
}

TEST_P(IniFileReadTest, EmptySectionNameIsLeftOutWithoutHidingLaterNames) {
  IniFile file = MakeFile(L"[First]\r\nA=1\r\n[]\r\nB=2\r\n[Second]\r\nC=3\r\n");
  EXPECT_EQ(file.SectionNames(), (Items{L"First", L"Second"}));
}

TEST_P(IniFileReadTest, GetIntTakesTheLeadingDecimalNumber) {
  IniFile file = MakeFile(L"[N]\r\nA=  -12abc\r\nB=x\r\nC=+7\r\nD=\r\nE=42\r\n");
  EXPECT_EQ(file.GetInt(L"N", L"A"), -12);
  EXPECT_EQ(file.GetInt(L"N", L"B"), 0);
  EXPECT_EQ(file.GetInt(L"N", L"C"), 7);
  EXPECT_EQ(file.GetInt(L"N", L"D"), 0);
  EXPECT_EQ(file.GetInt(L"N", L"E"), 42);
  EXPECT_EQ(file.GetInt(L"N", L"Missing"), 0);
}

TEST_P(IniFileReadTest, FirstSectionAndFirstKeyOfANameWin) {
  IniFile file = MakeFile(L"[S]\r\nK=first\r\nk=second\r\n[s]\r\nK=third\r\n");
  EXPECT_EQ(file.GetString(L"S", L"K"), L"first");
}

INSTANTIATE_TEST_SUITE_P(Encodings, IniFileReadTest, ::testing::Values(Encoding::kAnsi, Encoding::kUtf16),
                         [](const ::testing::TestParamInfo<Encoding>& info) {
                           return info.param == Encoding::kAnsi ? std::string("Ansi") : std::string("Utf16");
                         });

// ---- Byte-order mark and header marker ----------------------------------------------------------

class IniFileHeaderTest : public ::testing::Test {
 protected:
  IniFile FileWithBytes(const std::string& bytes) {
    std::wstring path = folder_.NewPath(L"header" + std::to_wstring(++files_) + L".ini");
    EXPECT_TRUE(WriteBytes(path, bytes));
    return IniFile(path);
  }
  TempFolder folder_;
  int files_ = 0;
};

TEST_F(IniFileHeaderTest, MarkerIsFoundInAnsiAndUtf16Files) {
  IniFile ansi = FileWithBytes(EncodeText(L";kxw;\r\n[U]\r\n", Encoding::kAnsi));
  ASSERT_EQ(ansi.ReadBom(), kOk);
  EXPECT_FALSE(ansi.IsUnicode());
  EXPECT_TRUE(ansi.CheckHeader(L";kxw;"));

  IniFile wide = FileWithBytes(EncodeText(L";kxw;\r\n[U]\r\n", Encoding::kUtf16));
  ASSERT_EQ(wide.ReadBom(), kOk);
  EXPECT_TRUE(wide.IsUnicode());
  EXPECT_TRUE(wide.CheckHeader(L";kxw;"));
}

TEST_F(IniFileHeaderTest, MarkerMustMatchExactlyAndCompletely) {
  IniFile upper = FileWithBytes(";KXW;\r\n");
  ASSERT_EQ(upper.ReadBom(), kOk);
  EXPECT_FALSE(upper.CheckHeader(L";kxw;"));

  // A UTF-8 byte-order mark is not skipped: the first five bytes are not the marker.
  IniFile utf8 = FileWithBytes("\xEF\xBB\xBF;kxw;\r\n");
  ASSERT_EQ(utf8.ReadBom(), kOk);
  EXPECT_FALSE(utf8.IsUnicode());
  EXPECT_FALSE(utf8.CheckHeader(L";kxw;"));

  IniFile shortAnsi = FileWithBytes(";kxw");
  ASSERT_EQ(shortAnsi.ReadBom(), kOk);
  EXPECT_FALSE(shortAnsi.CheckHeader(L";kxw"));
  EXPECT_FALSE(shortAnsi.CheckHeader(L";kxw;"));

  // Nine bytes after the mark: one byte short of five UTF-16 units.
  IniFile shortWide = FileWithBytes(std::string("\xFF\xFE;\0k\0x\0w\0;", 11));
  ASSERT_EQ(shortWide.ReadBom(), kOk);
  EXPECT_TRUE(shortWide.IsUnicode());
  EXPECT_FALSE(shortWide.CheckHeader(L";kxw;"));

  // The flag decides how the bytes are taken: a UTF-16 file read as ANSI does not match.
  IniFile wideAsAnsi = FileWithBytes(EncodeText(L";kxw;", Encoding::kUtf16));
  wideAsAnsi.SetUnicode(false);
  EXPECT_FALSE(wideAsAnsi.CheckHeader(L";kxw;"));
}

TEST_F(IniFileHeaderTest, MissingOrTinyFiles) {
  IniFile missing(folder_.NewPath(L"missing.ini"));
  EXPECT_EQ(missing.ReadBom(), static_cast<Result>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.CheckHeader(L";kxw;"));

  IniFile empty = FileWithBytes("");
  EXPECT_EQ(empty.ReadBom(), kOk);
  EXPECT_FALSE(empty.IsUnicode());

  IniFile markOnly = FileWithBytes("\xFF\xFE");
  EXPECT_EQ(markOnly.ReadBom(), kOk);
  EXPECT_TRUE(markOnly.IsUnicode());
  EXPECT_FALSE(markOnly.CheckHeader(L";kxw;"));

  // Reading the mark again resets the flag for a file that no longer carries it.
  ASSERT_TRUE(WriteBytes(markOnly.Path(), "[A]\r\n"));
  EXPECT_EQ(markOnly.ReadBom(), kOk);
  EXPECT_FALSE(markOnly.IsUnicode());
}

// ---- Writing ------------------------------------------------------------------------------------

class IniFileWriteTest : public ::testing::Test {
 protected:
  TempFolder folder_;
};

TEST_F(IniFileWriteTest, MissingFileReadsEmptyEverywhere) {
  IniFile file(folder_.NewPath(L"absent.ini"));
  EXPECT_TRUE(file.SectionNames().empty());
  EXPECT_EQ(file.GetString(L"S", L"K"), L"");
  EXPECT_EQ(file.GetInt(L"S", L"K"), 0);
  EXPECT_TRUE(file.GetNumberedList(L"S", L"K", L"KHtml").empty());
  EXPECT_TRUE(file.GetDelimitedList(L"S", L"K").empty());
  EXPECT_FALSE(FileExists(file.Path()));

  IniFile noPath;
  EXPECT_TRUE(noPath.SectionNames().empty());
  EXPECT_EQ(noPath.GetString(L"S", L"K"), L"");
  EXPECT_NE(noPath.PutString(L"S", L"K", L"v"), kOk);
}

TEST_F(IniFileWriteTest, PutStringWithEmptyValueStillWritesTheKey) {
  IniFile file(folder_.NewPath(L"empty_value.ini"));
  ASSERT_EQ(file.PutString(L"General", L"Blank", L""), kOk);
  ASSERT_EQ(file.PutString(L"General", L"Name", L"value"), kOk);
  EXPECT_EQ(file.SectionNames(), (Items{L"General"}));
  std::string bytes = ReadBytes(file.Path());
  EXPECT_NE(bytes.find("Blank="), std::string::npos) << bytes;
  EXPECT_EQ(file.GetString(L"General", L"Name"), L"value");
}

TEST_F(IniFileWriteTest, Utf16FileKeepsCharactersOutsideTheCodePage) {
  std::wstring path = folder_.NewPath(L"wide.ini");
  ASSERT_TRUE(WriteBytes(path, EncodeText(L";kxw;\r\n", Encoding::kUtf16)));
  IniFile file(path);
  ASSERT_EQ(file.ReadBom(), kOk);
  const std::wstring text = L"\u4E2D\u6587 \u0416 \u20AC";
  ASSERT_EQ(file.PutString(L"Sel", L"Title", text), kOk);
  EXPECT_EQ(file.GetString(L"Sel", L"Title"), text);
  EXPECT_EQ(ReadBytes(path).substr(0, 2), "\xFF\xFE");
  EXPECT_TRUE(file.CheckHeader(L";kxw;"));
}

TEST_F(IniFileWriteTest, NumberedListWritesBareThenNumberedKeys) {
  IniFile file(folder_.NewPath(L"numbered.ini"));
  ASSERT_EQ(file.PutNumberedList(L"U", L"Feature", {}), kOk);
  EXPECT_FALSE(FileExists(file.Path()));

  ASSERT_EQ(file.PutNumberedList(L"U", L"Feature", {L"zero", L"one", L"two"}), kOk);
  EXPECT_EQ(file.GetString(L"U", L"Feature"), L"zero");
  EXPECT_EQ(file.GetString(L"U", L"Feature1"), L"one");
  EXPECT_EQ(file.GetString(L"U", L"Feature2"), L"two");
  EXPECT_EQ(file.GetNumberedList(L"U", L"Feature"), (Items{L"zero", L"one", L"two"}));

  // A shorter list written over a longer one reads back as written.
  ASSERT_EQ(file.PutNumberedList(L"U", L"Feature", {L"only"}), kOk);
  EXPECT_EQ(file.GetNumberedList(L"U", L"Feature"), (Items{L"only"}));
  EXPECT_EQ(file.GetString(L"U", L"Feature2"), L"");
}

TEST_F(IniFileWriteTest, DelimitedListRoundTripsEscapedSeparatorsAndBackslashes) {
  IniFile file(folder_.NewPath(L"delimited.ini"));
  const Items items = {L"a;b", L"", L"c:\\dir\\", L"plain"};
  ASSERT_EQ(file.PutDelimitedList(L"S", L"List", items), kOk);
  EXPECT_EQ(file.GetString(L"S", L"List"), L"a\\;b;;c:\\\\dir\\\\;plain");
  EXPECT_EQ(file.GetDelimitedList(L"S", L"List"), items);

  // Nothing to join: nothing written.
  ASSERT_EQ(file.PutDelimitedList(L"S", L"None", {}), kOk);
  ASSERT_EQ(file.PutDelimitedList(L"S", L"OneEmpty", {L""}), kOk);
  EXPECT_EQ(ReadBytes(file.Path()).find("None"), std::string::npos);
  EXPECT_EQ(ReadBytes(file.Path()).find("OneEmpty"), std::string::npos);
}

TEST_F(IniFileWriteTest, DeleteRemovesTheFile) {
  IniFile file(folder_.NewPath(L"gone.ini"));
  ASSERT_EQ(file.PutString(L"S", L"K", L"v"), kOk);
  ASSERT_TRUE(FileExists(file.Path()));
  EXPECT_EQ(file.Delete(), kOk);
  EXPECT_FALSE(FileExists(file.Path()));
  EXPECT_EQ(file.GetString(L"S", L"K"), L"");
  EXPECT_EQ(file.Delete(), static_cast<Result>(ERROR_FILE_NOT_FOUND));
}

TEST_F(IniFileWriteTest, ReadSnapshotIsAPrivateCopyThatOutlivesChangesAndLeavesNothingBehind) {
  std::wstring source = folder_.NewPath(L"published.ini");
  ASSERT_TRUE(WriteBytes(source, "[General]\r\nName=first\r\n[Update1]\r\nSize=10\r\n"));
  // A read-only original gives a read-only copy, which must still be deleted.
  ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));
  std::wstring copy;
  {
    IniReadSnapshot snapshot(source);
    copy = snapshot.Path();
    ASSERT_NE(copy, source);
    EXPECT_EQ(ReadBytes(copy), ReadBytes(source));
    IniFile file(copy);
    file.KeepSectionsInMemory();
    EXPECT_EQ(file.GetString(L"General", L"Name"), L"first");
    // The original replaced halfway through a read: the rest of the read still sees the version
    // it started with.
    ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(WriteBytes(source, "[General]\r\nName=second\r\n"));
    EXPECT_EQ(file.GetString(L"Update1", L"Size"), L"10");
    EXPECT_EQ(IniFile(copy).GetString(L"General", L"Name"), L"first");
  }
  EXPECT_FALSE(FileExists(copy));
  EXPECT_EQ(IniFile(source).GetString(L"General", L"Name"), L"second");

  std::wstring absent = folder_.NewPath(L"absent.ini");
  IniReadSnapshot none(absent);
  EXPECT_EQ(none.Path(), absent);
}

// ---- Flag words ---------------------------------------------------------------------------------

FlagSet MakeFlags(wchar_t separator = L'|') {
  return FlagSet({{L"Alpha", 0x1}, {L"Both", 0x6}, {L"Beta", 0x2}, {L"Gamma", 0x4}}, separator);
}

TEST(FlagSetParse, OrsKnownWordsAndStopsAtTheFirstUnknown) {
  FlagSet flags = MakeFlags();
  flags.Parse(L"Alpha|Gamma");
  EXPECT_EQ(flags.Value(), 0x5u);
  flags.Parse(L" Beta |  Alpha ");
  EXPECT_EQ(flags.Value(), 0x3u);
  flags.Parse(L"Alpha|Unknown|Gamma");
  EXPECT_EQ(flags.Value(), 0x1u);
  flags.Parse(L"alpha|Beta");  // case counts
  EXPECT_EQ(flags.Value(), 0x0u);
  flags.Parse(L"Both");
  EXPECT_EQ(flags.Value(), 0x6u);
}

TEST(FlagSetParse, EmptyItemsAndTrailingSeparator) {
  FlagSet flags = MakeFlags();
  flags.SetValue(0xFF);
  flags.Parse(L"");
  EXPECT_EQ(flags.Value(), 0u);
  flags.Parse(L"Alpha|Beta|");
  EXPECT_EQ(flags.Value(), 0x3u);
  // Consecutive separators give an empty item, which names nothing and ends the parse.
  flags.Parse(L"Alpha||Beta");
  EXPECT_EQ(flags.Value(), 0x1u);
  flags.Parse(L"|Alpha");
  EXPECT_EQ(flags.Value(), 0x0u);
}

TEST(FlagSetFormat, NamesInTableOrderOnlyWhenAllBitsAreSet) {
  FlagSet flags = MakeFlags();
  flags.SetValue(0x2);
  EXPECT_EQ(flags.Format(), L"Beta");
  flags.SetValue(0x6);
  EXPECT_EQ(flags.Format(), L"Both|Beta|Gamma");
  flags.SetValue(0x5);
  EXPECT_EQ(flags.Format(), L"Alpha|Gamma");
  flags.SetValue(0);
  EXPECT_EQ(flags.Format(), L"");
  flags.SetValue(0x100);
  EXPECT_EQ(flags.Format(), L"");

  FlagSet commas = MakeFlags(L',');
  commas.Parse(L"Gamma, Alpha|Beta");
  EXPECT_EQ(commas.Value(), 0x4u);
  commas.SetValue(0x3);
  EXPECT_EQ(commas.Format(), L"Alpha,Beta");
}

TEST(FlagSetFormat, EntryWithoutBitsIsNeverNamed) {
  FlagSet flags({{L"None", 0}, {L"One", 1}});
  flags.SetValue(1);
  EXPECT_EQ(flags.Format(), L"One");
  flags.Parse(L"None|One");
  EXPECT_EQ(flags.Value(), 1u);
}

TEST(FlagSetFile, GetAndPutFlags) {
  TempFolder folder;
  IniFile file(folder.NewPath(L"flags.ini"));
  FlagSet flags = MakeFlags();
  ASSERT_EQ(file.PutFlags(L"U", L"Flags", flags), kOk);  // value 0: nothing written
  EXPECT_FALSE(FileExists(file.Path()));
  flags.SetValue(0x5);
  ASSERT_EQ(file.PutFlags(L"U", L"Flags", flags), kOk);
  EXPECT_EQ(file.GetString(L"U", L"Flags"), L"Alpha|Gamma");
  FlagSet read = MakeFlags();
  file.GetFlags(L"U", L"Flags", read);
  EXPECT_EQ(read.Value(), 0x5u);
}

// ---- Text conventions without a file ------------------------------------------------------------

TEST(DelimitedListText, SplitEdgeCases) {
  EXPECT_TRUE(SplitDelimitedList(L"").empty());
  EXPECT_TRUE(SplitDelimitedList(L"   ").empty());
  EXPECT_EQ(SplitDelimitedList(L";"), (Items{L""}));
  EXPECT_EQ(SplitDelimitedList(L"a; "), (Items{L"a"}));
  EXPECT_EQ(SplitDelimitedList(L" a ;\tb\t"), (Items{L"a", L"b"}));
  EXPECT_EQ(SplitDelimitedList(L"\\"), Items{});
  EXPECT_EQ(SplitDelimitedList(L"\\\\"), (Items{L"\\"}));
  EXPECT_EQ(SplitDelimitedList(L"a\\;"), (Items{L"a;"}));
  EXPECT_EQ(SplitDelimitedList(L"\\;\\;;x"), (Items{L";;", L"x"}));
}

TEST(DelimitedListText, JoinEscapesOnlySeparatorsAndBackslashes) {
  EXPECT_EQ(JoinDelimitedList({}), L"");
  EXPECT_EQ(JoinDelimitedList({L"a", L"b"}), L"a;b");
  EXPECT_EQ(JoinDelimitedList({L"a;b", L"\\", L"c d"}), L"a\\;b;\\\\;c d");
  EXPECT_EQ(JoinDelimitedList({L"", L"x"}), L";x");
}

TEST(LeadingInt, Forms) {
  EXPECT_EQ(ParseLeadingInt(L"  -12abc"), -12);
  EXPECT_EQ(ParseLeadingInt(L"x"), 0);
  EXPECT_EQ(ParseLeadingInt(L"+7"), 7);
  EXPECT_EQ(ParseLeadingInt(L""), 0);
  EXPECT_EQ(ParseLeadingInt(L"-"), 0);
  EXPECT_EQ(ParseLeadingInt(L"+-3"), 0);
  EXPECT_EQ(ParseLeadingInt(L"- 3"), 0);
  EXPECT_EQ(ParseLeadingInt(L"\t 0042 7"), 42);
  EXPECT_EQ(ParseLeadingInt(L"2147483647"), INT_MAX);
  EXPECT_EQ(ParseLeadingInt(L"-2147483648"), INT_MIN);
  // Numbers beyond 32 bits saturate instead of wrapping.
  EXPECT_EQ(ParseLeadingInt(L"99999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseLeadingInt(L"-99999999999999999999"), INT_MIN);
}

}  // namespace
}  // namespace updater
