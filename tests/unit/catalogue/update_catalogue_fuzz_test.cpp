// Robustness of the updates configuration file reader against damaged and hostile files: a corpus
// generated from a fixed seed (cut files, binary bytes, 100,000-character values, thousands of
// sections, UTF-16 with and without the byte-order mark, UTF-8, dangling and looping references,
// bad numbers, dates and flags). Every load must come back with 0 or one of the reader's own codes,
// leave a catalogue whose links stay inside it and never loop, and a catalogue that loaded must
// survive WriteSelection and a second load as a saved selection.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/ini_test_files.h"
#include "base/text_util.h"
#include "catalogue/record_expectations.h"
#include "catalogue/update_catalogue.h"

namespace updater {
namespace {

using testing_support::TempFolder;
using testing_support::WriteBytes;

enum class FileEncoding { kAnsi, kUtf16Bom, kUtf16NoBom, kUtf16BigEndianBom, kUtf8Bom, kUtf8 };

void AppendUtf8(std::string& bytes, wchar_t c) {
  unsigned value = static_cast<unsigned>(c) & 0xFFFF;
  if (value < 0x80) {
    bytes += static_cast<char>(value);
  } else if (value < 0x800) {
    bytes += static_cast<char>(0xC0 | (value >> 6));
    bytes += static_cast<char>(0x80 | (value & 0x3F));
  } else {  // lone surrogates come out as three bytes, which is not valid UTF-8: good fuzz
    bytes += static_cast<char>(0xE0 | (value >> 12));
    bytes += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (value & 0x3F));
  }
}

std::string Encode(const std::wstring& text, FileEncoding encoding) {
  std::string bytes;
  switch (encoding) {
    case FileEncoding::kAnsi:
      for (wchar_t c : text) bytes += c <= 0xFF ? static_cast<char>(c) : '?';
      return bytes;
    case FileEncoding::kUtf16Bom:
    case FileEncoding::kUtf16NoBom:
    case FileEncoding::kUtf16BigEndianBom: {
      bool bigEndian = encoding == FileEncoding::kUtf16BigEndianBom;
      if (encoding == FileEncoding::kUtf16Bom) bytes = "\xFF\xFE";
      if (bigEndian) bytes = "\xFE\xFF";
      for (wchar_t c : text) {
        char low = static_cast<char>(c & 0xFF), high = static_cast<char>((c >> 8) & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
      }
      return bytes;
    }
    case FileEncoding::kUtf8Bom:
    case FileEncoding::kUtf8:
      if (encoding == FileEncoding::kUtf8Bom) bytes = "\xEF\xBB\xBF";
      for (wchar_t c : text) AppendUtf8(bytes, c);
      return bytes;
  }
  return bytes;
}

// The generator of the corpus. Most files are small (the profile functions cost about a
// millisecond per call under Wine); a handful are large.
class MalformedCatalogueGenerator {
 public:
  explicit MalformedCatalogueGenerator(unsigned seed) : random_(seed) {}

  unsigned Below(unsigned bound) {
    return bound == 0 ? 0 : std::uniform_int_distribution<unsigned>(0, bound - 1)(random_);
  }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <size_t N>
  const wchar_t* Pick(const wchar_t* const (&pool)[N]) {
    return pool[Below(N)];
  }

  // One file's bytes; the index chooses the family of damage. Full catalogues that load are the
  // dear ones (every key read three times with the round trip), so most files fail early.
  std::string Next(int index) {
    if (index % 400 == 17) return Encode(HugeValues(), PlainOrUnicode());
    if (index % 500 == 33) return Encode(ManySections(1500 + Below(2500)), PlainOrUnicode());
    if (index % 250 == 41) return Encode(Chains(), PlainOrUnicode());
    if (index % 20 == 0) return Encode(Catalogue(1 + Below(3), false), PlainOrUnicode());
    if (index % 20 == 10) return BinarySpliced(Encode(Catalogue(1 + Below(2), false), AnyEncoding()));
    switch (index % 6) {
      case 0: return RandomBytes(Below(400));
      case 1: return Truncated(Encode(Catalogue(1, true), AnyEncoding()), 160);
      case 2: return Encode(Catalogue(1 + Below(2), true), AnyEncoding());
      case 3: return Encode(GeneralOnly(), AnyEncoding());
      case 4: return BinarySpliced(Encode(Catalogue(1, true), AnyEncoding()).substr(0, 120));
      default: return Encode(Catalogue(1, true), FileEncoding::kAnsi);
    }
  }

 private:
  FileEncoding AnyEncoding() {
    static const FileEncoding kAll[] = {FileEncoding::kAnsi,   FileEncoding::kUtf16Bom,
                                        FileEncoding::kUtf16NoBom, FileEncoding::kUtf16BigEndianBom,
                                        FileEncoding::kUtf8Bom, FileEncoding::kUtf8};
    return Chance(50) ? FileEncoding::kAnsi : kAll[Below(6)];
  }
  FileEncoding PlainOrUnicode() { return Chance(60) ? FileEncoding::kAnsi : FileEncoding::kUtf16Bom; }

  std::string RandomBytes(unsigned count) {
    std::string bytes(count, '\0');
    for (char& b : bytes) b = static_cast<char>(Below(256));
    if (Chance(50)) bytes = ";kxw;\r\n" + bytes;
    return bytes;
  }
  std::string Truncated(const std::string& bytes, unsigned within) {
    return bytes.substr(0, Below(std::min(static_cast<unsigned>(bytes.size()), within) + 1));
  }
  std::string BinarySpliced(std::string bytes) {
    unsigned pieces = 1 + Below(4);
    for (unsigned i = 0; i < pieces; ++i) {
      size_t at = Below(static_cast<unsigned>(bytes.size()) + 1);
      std::string junk(1 + Below(12), '\0');
      for (char& b : junk) b = static_cast<char>(Below(4) == 0 ? 0 : Below(256));
      bytes.insert(at, junk);
    }
    return bytes;
  }

  std::wstring Header() {
    static const wchar_t* const kHeaders[] = {L";kxw;", L";kxw; comment", L";KXW;", L";kx", L"", L"[General]",
                                              L" ;kxw;", L";kxw;;kxw;"};
    return Chance(85) ? L";kxw;" : Pick(kHeaders);
  }

  std::wstring SectionName(int number) {
    static const wchar_t* const kOdd[] = {L"General", L"general", L"GENERAL", L"..", L".", L"a\\b", L"x:y", L"a/b",
                                          L"All", L"q?", L" spaced ", L"\u00E9t\u00E9", L"\u4E2D\u6587", L"\xD800x",
                                          L"[nested]", L"a]b", L"", L"CON", L"sec;tion"};
    if (Chance(8)) return Pick(kOdd);
    return L"Upd" + std::to_wstring(number);
  }

  std::wstring FlagSoup() {
    static const wchar_t* const kWords[] = {L"Critical", L"Major", L"SilentInstall", L"Sys64", L"NoCache",
                                            L"Os32Only", L"Os64", L"Advertises", L"NotSelected", L"IsPatch",
                                            L"SingleUpdate", L"NoRedetect", L"UnsafeCutomDetection",
                                            L"critical", L"SilentinstalL", L"Bogus", L"", L" ", L"0x1", L"|"};
    std::wstring text;
    unsigned words = Below(8);
    for (unsigned i = 0; i < words; ++i) {
      if (i > 0) text += Chance(90) ? L"|" : L"||";
      text += Pick(kWords);
    }
    if (Chance(10)) text += L"|";
    return text;
  }

  std::wstring Value(const wchar_t* key) {
    static const wchar_t* const kSizes[] = {L"1024", L"0", L"-1", L"4294967295", L"4294967296",
                                            L"99999999999999999999", L"0x10", L"+12", L" 12 ", L"12abc", L"abc",
                                            L"", L"1e9", L"2147483648", L"-0"};
    static const wchar_t* const kStates[] = {L"0", L"-5", L"3758096404", L"abc", L"2147483648", L"-2147483649", L""};
    static const wchar_t* const kUrls[] = {
        L"http://server/files/setup.exe", L"https://a/b?c=d", L"ftp://h/p/f.msi", L"file://", L"FILE://",
        L"file:///C:/x/y.exe", L"\\\\server\\share\\f.exe", L"C:\\local\\f.exe", L"http://", L"://",
        L"not a url", L"http://[::1", L"http://host:99999/x", L"http://h/", L"http://h/..", L"http://h/a%00b",
        L"http://h/x?y/z", L"mailto:x@y", L"http://h/\u00E9.exe", L"gopher://h/x"};
    static const wchar_t* const kServerFiles[] = {L"setup.exe", L"..", L".", L"..\\evil.exe", L"a/b", L"con",
                                                  L"x:y", L" ", L"a*b", L"", L"\u00E9.msi", L"setup.msi"};
    static const wchar_t* const kDates[] = {L"01/02/2024", L"//", L"32/13/99999", L"1/2", L"a/b/c",
                                            L"-1/-1/-1", L"70000/70000/70000", L"1//", L" 5 / 6 / 7 ", L"2024-01-02",
                                            L"99999999999/1/1", L"/", L""};
    static const wchar_t* const kVersions[] = {L"1.2.3.4", L"= 1.2", L">= 2", L"=", L">=", L"abc", L"1.2.3.4.5.6.7",
                                               L"99999999999.1", L"-1.-2", L"= 1..2", L"  =  7", L"<= 3", L"1.",
                                               L".1", L"=\u0661", L"1.2.3.4294967296"};
    static const wchar_t* const kPaths[] = {L"[APPDIR]\\x.exe", L"[{PRODUCT}COMP]\\y.dll", L"%PATH%\\x",
                                            L"%KESTRUNE_UNDEFINED_VARIABLE%\\x", L"[unclosed", L"%%", L"[]",
                                            L"[{no-close]", L"[{A}B]", L"C:\\plain\\file.exe", L"%", L"[APPDIR"};
    static const wchar_t* const kAutoClose[] = {L"app.exe|args;title;NoRestart|AlwaysRestart", L"|", L"||;;;",
                                                L"[APPDIR]\\a.exe|\\;;\\", L"a.exe|;;QueryEndSession|Bogus",
                                                L"%TEMP%\\b.exe", L"[unclosed|x"};
    static const wchar_t* const kTexts[] = {L"plain", L"with;semi\\;colons", L"\"quoted\"", L"\"", L"<b>html</b>",
                                            L"\u4E2D\u6587", L"kxemptyfield", L"KxEmptyField", L"/S", L"  ", L"=="};
    std::wstring name = key;
    if (name == L"Size" || name == L"FileSize") return Pick(kSizes);
    if (name == L"State") return Pick(kStates);
    if (name == L"URL") return Pick(kUrls);
    if (name == L"ServerFileName") return Pick(kServerFiles);
    if (name == L"ReleaseDate") return Pick(kDates);
    if (name == L"Version" || name == L"TargetOsMinVersion" || name == L"TargetOsMaxVersion") return Pick(kVersions);
    if (name == L"FilePath" || name == L"CustomDetection" || name == L"CommandLine") return Pick(kPaths);
    if (name == L"AutoCloseApplication") return Pick(kAutoClose);
    if (name == L"Flags") return FlagSoup();
    return Pick(kTexts);
  }

  // A plausible update section with random damage: keys dropped, replaced by bad values, repeated.
  // With early damage the section most likely fails at its name or size, before the dear keys.
  std::wstring Section(const std::wstring& name, int sections, bool earlyDamage) {
    std::wstring text = L"[" + name + L"]\r\n";
    auto line = [&](const std::wstring& key, const std::wstring& good) {
      if (Chance(6)) return;  // missing key
      text += key + L"=" + (Chance(25) ? Value(key.c_str()) : good) + L"\r\n";
    };
    if (earlyDamage) {
      static const wchar_t* const kNames[] = {L"", L"\"\"", L" ", L"\t"};
      if (Chance(50)) {
        text += std::wstring(L"Name=") + Pick(kNames) + L"\r\n";
      } else {
        text += L"Name=N\r\nSize=" + std::wstring(Chance(30) ? L"" : Value(L"Size")) + L"\r\n";
      }
    }
    line(L"Name", L"Update " + name);
    if (Chance(20)) line(L"State", L"0");
    if (Chance(30)) line(L"UpdatedApplicationVersions", L">=1.0;<2.0");
    if (Chance(20)) line(L"UpdatedApplications", L"App\\;x;>=1");
    line(L"Description", L"What it does");
    if (Chance(30)) line(L"DescriptionHtml1", L"<p>more</p>");
    if (Chance(40)) line(L"Feature1", L"A feature");
    if (Chance(20)) line(L"BugFixHtml", L"<i>fix</i>");
    line(L"Size", std::to_wstring(1 + Below(1u << 30)));
    if (Chance(60)) line(L"Flags", L"Critical|SilentInstall");
    if (Chance(40)) line(L"SHA256", L"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
    if (Chance(20)) line(L"MD5", L"0123456789abcdef0123456789abcdef");
    if (Chance(40)) line(L"ServerFileName", L"setup.exe");
    line(L"URL", L"http://server/files/" + name + L".exe");
    if (Chance(20)) line(L"URL1", L"http://mirror/files/setup.exe");
    if (Chance(30)) line(L"ReleaseDate", L"03/04/2024");
    if (Chance(20)) line(L"AutoCloseApplication", L"[APPDIR]\\app.exe|-restart;App window;NoRestart");
    if (Chance(20)) line(L"CommandLine", L"/quiet [APPDIR]");
    if (Chance(20)) line(L"NoGUICommandLineSwitch", L"kxemptyfield");
    if (Chance(15)) line(L"TargetOsMinVersion", L"6.1");
    switch (Below(5)) {
      case 0: line(L"FilePath", L"[APPDIR]\\app.exe"); if (Chance(40)) line(L"FileSize", L"1000"); break;
      case 1: line(L"CustomDetection", L"[APPDIR]\\detect.exe"); if (Chance(50)) line(L"CustomDetectionParams", L"/x"); break;
      case 2: line(L"AppIdName", L"Velmora.App"); line(L"AppIdArch", L"x64"); break;
      default: line(L"RegistryKey", L"HKLM\\Software\\Velmora\\App\\Version"); break;
    }
    if (Chance(60)) line(L"Version", L">= 1.2.3.4");
    if (Chance(30)) line(L"Depends", L"Upd" + std::to_wstring(Below(static_cast<unsigned>(sections) + 3)));
    if (Chance(30)) {
      std::wstring list = Chance(30) ? L"All" : L"";
      for (unsigned i = 0, n = Below(4); i < n; ++i) {
        if (!list.empty()) list += L";";
        list += Chance(10) ? L"missing" : L"upd" + std::to_wstring(Below(static_cast<unsigned>(sections) + 2));
      }
      line(L"Replaces", list);
    }
    if (Chance(30)) line(L"NextDeprecated", L"UPD" + std::to_wstring(Below(static_cast<unsigned>(sections) + 2)));
    if (Chance(5)) text += L"garbage line without equals\r\n=value without key\r\n[\r\n";
    return text;
  }

  std::wstring General() {
    std::wstring text = L"[General]\r\n";
    if (Chance(15)) text += L"ConfigFileVersion=" + std::wstring(Pick({L"1.0", L"1", L"2.0", L"1.0.0.1", L"abc", L""})) + L"\r\n";
    if (Chance(5)) text += L"UpdatesDisabled=Closed for maintenance\r\n";
    if (Chance(20)) text += L"MessageTitle=Hello\r\n";
    if (Chance(20)) text += L"MessageBody=Body\r\n";
    if (Chance(20)) text += L"MessageExpirationDate=" + std::wstring(Pick({L"01/01/2099", L"1/1", L"x", L"31/02/2020"})) + L"\r\n";
    if (Chance(10)) text += L"MessageURI=https://example/x\r\nMessageButtonText=Go\r\n";
    return text;
  }

  std::wstring Catalogue(int sections, bool earlyDamage) {
    std::wstring text = Header() + L"\r\n";
    bool generalFirst = Chance(50);
    if (generalFirst && Chance(70)) text += General();
    for (int i = 0; i < sections; ++i) text += Section(SectionName(i), sections, earlyDamage && i == 0);
    if (!generalFirst && Chance(30)) text += General();
    if (Chance(10)) text += Section(SectionName(0), sections, false);  // a section named twice
    return text;
  }

  std::wstring GeneralOnly() { return Header() + L"\r\n" + General(); }

  // Depends and NextDeprecated chains through every section, closing a loop or not, and
  // Replaces lists naming everything, oneself and missing sections.
  std::wstring Chains() {
    int sections = 3 + static_cast<int>(Below(8));
    bool loop = Chance(50);
    std::wstring text = L";kxw;\r\n";
    for (int i = 0; i < sections; ++i) {
      int next = i + 1 < sections ? i + 1 : (loop ? 0 : -1);
      text += L"[Upd" + std::to_wstring(i) + L"]\r\nName=U\r\nSize=10\r\nURL=http://h/f.exe\r\nRegistryKey=HKCU\\X\r\n";
      text += L"Feature=f" + std::to_wstring(i) + L"\r\nBugFix1=b" + std::to_wstring(i) + L"\r\n";
      if (next >= 0) {
        text += L"Depends=upd" + std::to_wstring(next) + L"\r\n";
        text += L"NextDeprecated=UPD" + std::to_wstring(next) + L"\r\n";
      } else if (Chance(50)) {
        text += L"Depends=Upd" + std::to_wstring(i) + L"\r\nNextDeprecated=nowhere\r\n";
      }
      if (Chance(30)) text += L"Replaces=All;Upd" + std::to_wstring(i) + L";Upd0;ghost;\\;\r\n";
    }
    return text;
  }

  // Values of 100,000 characters in the keys that are parsed, not only copied.
  std::wstring HugeValues() {
    static const wchar_t* const kKeys[] = {L"Name", L"Size", L"URL", L"ServerFileName", L"ReleaseDate", L"Version",
                                           L"Flags", L"Replaces", L"FilePath", L"CommandLine", L"Feature1"};
    std::wstring huge(100000, L"9|/;[%a."[Below(8)]);
    std::wstring hugeKey = Pick(kKeys);
    std::wstring text = L";kxw;\r\n[Huge]\r\nName=N\r\nSize=5\r\nURL=http://h/f.exe\r\nRegistryKey=HKCU\\X\r\n";
    text += hugeKey + L"=" + huge + L"\r\n";
    if (Chance(50)) text += L"[" + std::wstring(100000, L's') + L"]\r\nName=n\r\n";
    return text;
  }

  // Thousands of sections, one of the first few without a name so that the load ends there
  // (reading them all would take minutes under Wine): the section list itself is the test.
  std::wstring ManySections(unsigned count) {
    std::wstring text = L";kxw;\r\n";
    unsigned failing = Below(3);
    for (unsigned i = 0; i < count; ++i) {
      text += L"[S" + std::to_wstring(i) + std::wstring(Below(40), L'x') + L"]\r\n";
      if (i == failing) continue;
      text += L"Name=n\r\nSize=1\r\nURL=http://h/f\r\nRegistryKey=K\r\n";
    }
    return text;
  }

  std::mt19937 random_;
};

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

bool IsReaderCode(Result code) {
  static const std::set<Result> kOwn = {kOk,
                                        E_UPD_UP_TO_DATE,
                                        E_UPD_BAD_UPDATES_FILE,
                                        E_UPD_CONFIG_FORMAT,
                                        E_UPD_UPDATES_DISABLED,
                                        E_UPD_INVALID_UPDATES_FILE,
                                        E_UPD_BAD_FILE_URL,
                                        E_UPD_UNTRUSTED_PUBLISHER,
                                        E_UPD_BAD_NOTIFICATION};
  // Win32 errors of an unreadable file, and WinINet's URL-cracking codes (12000 and up).
  return kOwn.count(code) != 0 || (code > 0 && code < 0x10000);
}

// Links stay inside the catalogue, never point to their own record, and neither chain loops.
void ExpectSoundLinks(const UpdateCatalogue& catalogue) {
  std::set<const UpdateRecord*> members;
  for (size_t i = 0; i < catalogue.Count(); ++i) members.insert(&catalogue.At(i));
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    EXPECT_FALSE(record.Name.empty());
    EXPECT_NE(record.Size, 0u);
    EXPECT_FALSE(record.URL.empty());
    EXPECT_EQ(record.localPath.rfind(L"C:\\Downloads\\" + record.sectionName + L"\\", 0), 0u) << record.localPath;
    for (const UpdateRecord* link : {record.dependsOn, record.requiredBy, record.nextDeprecated}) {
      if (link != nullptr) {
        EXPECT_TRUE(members.count(link) != 0 && link != &record);
      }
    }
    for (const UpdateRecord* replaced : record.replaces) EXPECT_TRUE(members.count(replaced) != 0 && replaced != &record);
    size_t steps = 0;
    for (const UpdateRecord* at = record.dependsOn; at != nullptr && steps <= catalogue.Count(); at = at->dependsOn) ++steps;
    EXPECT_LE(steps, catalogue.Count()) << "Depends chain loops from [" << Narrow(record.sectionName) << "]";
    steps = 0;
    for (const UpdateRecord* at = record.nextDeprecated; at != nullptr && steps <= catalogue.Count();
         at = at->nextDeprecated) {
      ++steps;
    }
    EXPECT_LE(steps, catalogue.Count()) << "NextDeprecated chain loops from [" << Narrow(record.sectionName) << "]";
  }
}

class CatalogueFuzz : public ::testing::Test {
 protected:
  CatalogueFuzz() {
    for (CatalogueSettings* settings : {&server_, &selection_}) {
      settings->appDir = L"C:\\App";
      settings->downloadsFolder = L"C:\\Downloads";
      settings->updatesUrls = {L"http://server/updates/updates.ini", L"\\\\share\\updates\\updates.ini"};
      // Trust depends on the program's name only, so that a reload decides alike.
      settings->verifySignatureTrust = [](const std::wstring& program) {
        return program.find(L"detect") != std::wstring::npos ? kOk : E_UPD_UNTRUSTED_PUBLISHER;
      };
      settings->componentPath = [](const std::wstring& product, const std::wstring&, std::wstring& path) {
        if (product != L"{A}") return E_UPD_EXPAND_PATH;
        path = L"C:\\Component";
        return kOk;
      };
      settings->screenSize = [](int& width, int& height) { 
        width = 800;
        height = 600;
       };
    }
    selection_.readsSavedSelection = true;
  }

  static std::wstring SectionOf(const UpdateRecord* record) { return record ? record->sectionName : L"<none>"; }

  // Every field the reader fills, record by record.
  static void ExpectSameRecords(const UpdateCatalogue& a, const UpdateCatalogue& b) {
    ASSERT_EQ(a.Count(), b.Count());
    for (size_t i = 0; i < a.Count(); ++i) {
      const UpdateRecord& x = a.At(i);
      const UpdateRecord& y = b.At(i);
      SCOPED_TRACE(x.sectionName);
      testing_support::ExpectSameRecord(x, y);
      EXPECT_EQ(x.expansionError, y.expansionError);
      EXPECT_EQ(SectionOf(x.dependsOn), SectionOf(y.dependsOn));
      EXPECT_EQ(SectionOf(x.nextDeprecated), SectionOf(y.nextDeprecated));
      EXPECT_EQ(x.replacesAll, y.replacesAll);
      ASSERT_EQ(x.replaces.size(), y.replaces.size());
      for (size_t k = 0; k < x.replaces.size(); ++k) EXPECT_EQ(SectionOf(x.replaces[k]), SectionOf(y.replaces[k]));
    }
  }

  // Loads, checks the outcome and, when it loaded, writes the selection and reads it back. With the
  // switches on, the file is also read key by key, which must give the same outcome and records.
  void LoadAndRoundTrip(const std::wstring& path, bool switchesOn, const std::wstring& selectionPath) {
    UpdateCatalogue catalogue(server_);
    Result result = UpdatesFileReader(catalogue, path).Load(switchesOn, switchesOn);
    if (switchesOn) {
      UpdateCatalogue keyByKey(server_);
      UpdatesFileReader reader(keyByKey, path);
      reader.SetSectionsInMemory(false);
      EXPECT_EQ(reader.Load(true, true), result);
      ExpectSameRecords(catalogue, keyByKey);
      ++comparedBothWays_;
    }
    ++outcomes_[result];
    EXPECT_TRUE(IsReaderCode(result)) << std::hex << result;
    ExpectSoundLinks(catalogue);
    if (result != kOk || catalogue.Count() == 0) return;

    for (size_t i = 0; i < catalogue.Count(); ++i) catalogue.At(i).selected = true;
    ASSERT_EQ(WriteSelection(catalogue, selectionPath, false), kOk);
    UpdateCatalogue reread(selection_);
    Result again = UpdatesFileReader(reread, selectionPath).Load(false, false);
    ++roundTrips_;
    ASSERT_EQ(again, kOk) << std::hex << again;
    ASSERT_EQ(reread.Count(), catalogue.Count());
    for (size_t i = 0; i < catalogue.Count(); ++i) {
      const UpdateRecord& before = catalogue.At(i);
      const UpdateRecord& after = reread.At(i);
      EXPECT_TRUE(EqualsIgnoringCase(before.sectionName, after.sectionName));
      EXPECT_EQ(before.Size, after.Size);
      EXPECT_EQ(before.URL, after.URL);
      EXPECT_EQ(before.localPath, after.localPath);
      EXPECT_EQ(before.detectionKind, after.detectionKind);
      EXPECT_EQ(before.Flags.Value() & ~kUpdateSingleUpdate, after.Flags.Value() & ~kUpdateSingleUpdate);
      EXPECT_EQ(before.dependsOn == nullptr, after.dependsOn == nullptr);
      EXPECT_EQ(before.nextDeprecated == nullptr, after.nextDeprecated == nullptr);
      EXPECT_EQ(before.replaces.size(), after.replaces.size());
      EXPECT_TRUE(after.selected);
    }
    ExpectSoundLinks(reread);
    ::DeleteFileW(selectionPath.c_str());
  }

  CatalogueSettings server_;
  CatalogueSettings selection_;
  std::map<Result, int> outcomes_;
  int roundTrips_ = 0;
  int comparedBothWays_ = 0;
};

TEST_F(CatalogueFuzz, MalformedFilesLoadToDocumentedCodesAndRoundTrip) {
  TempFolder folder;
  MalformedCatalogueGenerator generator(20261208u);
  constexpr int kFiles = 2500;
  auto started = std::chrono::steady_clock::now();
  std::wstring selectionPath = folder.NewPath(L"selection.ini");
  for (int index = 0; index < kFiles; ++index) {
    std::string bytes = generator.Next(index);
    std::wstring path = folder.NewPath(L"fuzz" + std::to_wstring(index) + L".ini");
    ASSERT_TRUE(WriteBytes(path, bytes));
    SCOPED_TRACE("file " + std::to_string(index));
    auto fileStarted = std::chrono::steady_clock::now();
    LoadAndRoundTrip(path, true, selectionPath);
    LoadAndRoundTrip(path, false, selectionPath);
    double fileSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fileStarted).count();
    if (fileSeconds > 1.0) std::printf("file %d (%zu bytes): %.1f s\n", index, bytes.size(), fileSeconds);
    ::DeleteFileW(path.c_str());
    if (HasFatalFailure()) return;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%d files in %.1f s, %d round trips; outcomes:", kFiles, seconds, roundTrips_);
  for (const auto& [code, count] : outcomes_) std::printf(" 0x%X=%d", static_cast<unsigned>(code), count);
  std::printf("\n");
  // The corpus must reach both ends: files that load and files that fail in several ways.
  EXPECT_GT(outcomes_[kOk], kFiles / 20);
  EXPECT_GT(roundTrips_, kFiles / 20);
  EXPECT_EQ(comparedBothWays_, kFiles);
  EXPECT_GT(outcomes_[E_UPD_INVALID_UPDATES_FILE], kFiles / 20);
  EXPECT_GT(outcomes_[E_UPD_BAD_UPDATES_FILE], 0);
  EXPECT_GT(outcomes_[E_UPD_UNTRUSTED_PUBLISHER], 0);
}

// Found by the corpus: the profile functions list a repeated section name twice but answer every
// key from the first one, so the second was a copy of the first update that the saved selection
// then merged away. It is read once.
TEST_F(CatalogueFuzz, RepeatedSectionIsReadOnce) {
  TempFolder folder;
  std::wstring path = folder.NewPath(L"repeated.ini");
  const char kText[] =
      ";kxw;\r\n[A]\r\nName=First\r\nSize=1\r\nURL=http://h/a.exe\r\nRegistryKey=K\r\n"
      "[B]\r\nName=Other\r\nSize=2\r\nURL=http://h/b.exe\r\nRegistryKey=K\r\nDepends=a\r\n"
      "[a]\r\nName=Second\r\nSize=3\r\nURL=http://h/c.exe\r\nRegistryKey=K\r\n";
  ASSERT_TRUE(WriteBytes(path, kText));
  UpdateCatalogue catalogue(server_);
  ASSERT_EQ(UpdatesFileReader(catalogue, path).Load(true, true), kOk);
  ASSERT_EQ(catalogue.Count(), 2u);
  EXPECT_EQ(catalogue.At(0).Name, L"First");
  EXPECT_EQ(catalogue.At(1).dependsOn, &catalogue.At(0));
  LoadAndRoundTrip(path, true, folder.NewPath(L"selection.ini"));
}

TEST_F(CatalogueFuzz, MissingAndUnreadableFiles) {
  TempFolder folder;
  UpdateCatalogue catalogue(server_);
  EXPECT_EQ(UpdatesFileReader(catalogue, folder.NewPath(L"absent.ini")).Load(true, true), E_UPD_UP_TO_DATE);
  // A folder is no file: nothing to read, so nothing is offered.
  std::wstring directory = folder.NewPath(L"sub");
  ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
  EXPECT_EQ(UpdatesFileReader(catalogue, directory).Load(true, true), E_UPD_UP_TO_DATE);
  ::RemoveDirectoryW(directory.c_str());
  // A file locked against every other opener cannot be read: a Win32 error, not a crash.
  std::wstring locked = folder.NewPath(L"locked.ini");
  ASSERT_TRUE(WriteBytes(locked, ";kxw;\r\n[A]\r\nName=x\r\n"));
  HANDLE holder = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Result result = UpdatesFileReader(catalogue, locked).Load(true, true);
  ::CloseHandle(holder);
  EXPECT_EQ(result, static_cast<Result>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(catalogue.Count(), 0u);
}

}  // namespace
}  // namespace updater
