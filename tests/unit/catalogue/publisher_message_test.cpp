#include "catalogue/publisher_message.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/hashing.h"
#include "catalogue/temp_files.h"

namespace updater {
namespace {

using testing::TempFolder;
using testing::WriteAnsiFile;
using testing::WriteUnicodeFile;

constexpr FileTime64 kTicksPerDay = 864000000000ULL;

FileTime64 TicksOf(int year, int month, int day, int hour = 0) {
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  FILETIME file{};
  ::SystemTimeToFileTime(&time, &file);
  return (static_cast<FileTime64>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

class MessageKeys : public ::testing::Test {
 protected:
  Result Read(const std::wstring& general, FileTime64 now = 0) {
    std::wstring path = folder_.File(L"updates.ini");
    WriteAnsiFile(path, L";kxw;\n[General]\n" + general);
    return message_.ReadMessage(IniFile(path), now == 0 ? TicksOf(2030, 1, 1) : now);
  }

  TempFolder folder_;
  PublisherMessage message_;
};

TEST_F(MessageKeys, NoTitleAndNoBodyIsNoMessage) {
  EXPECT_EQ(Read(L"MessageExpirationDate=bogus\n"), kOk);
  EXPECT_FALSE(message_.Present());
  EXPECT_TRUE(message_.id.empty());
}

TEST_F(MessageKeys, TitleWithoutBodyOrBodyWithoutTitleIsInvalid) {
  EXPECT_EQ(Read(L"MessageTitle=Hello\nMessageExpirationDate=1/1/2031\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_FALSE(message_.Present());  // nothing half-read is kept
  EXPECT_EQ(Read(L"MessageBody=World\nMessageExpirationDate=1/1/2031\n"), E_UPD_BAD_NOTIFICATION);
}

TEST_F(MessageKeys, MissingOrMalformedExpirationDateIsInvalid) {
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=2031-01-01\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=31/02/2031\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=1/13/2031\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=1/x/2031\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=29/02/2032\n"), kOk);  // leap year
}

TEST_F(MessageKeys, IdIsUpperCaseSha256OfTheUtf8Concatenation) {
  std::wstring path = folder_.File(L"unicode.ini");
  WriteUnicodeFile(path, L";kxw;\n[General]\nMessageTitle=Gr\u00FC\u00DFe\u20AC\nMessageBody=World\n"
                         L"MessageExpirationDate=31/12/2030\nMessageURI=https://example.com/a\nMessageButtonText=Open\n");
  ASSERT_EQ(message_.ReadMessage(IniFile(path), TicksOf(2030, 1, 1)), kOk);
  EXPECT_EQ(message_.id, L"C839A54DC13815B93CF65DAAE72F56182CC173F726A986568A5806CF708E1DAD");
  EXPECT_EQ(Sha256HexOfText(L""), L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST_F(MessageKeys, ChangedTextGivesNewId) {
  ASSERT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=1/1/2031\n"), kOk);
  std::wstring first = message_.id;
  ASSERT_EQ(Read(L"MessageTitle=T\nMessageBody=B2\nMessageExpirationDate=1/1/2031\n"), kOk);
  EXPECT_EQ(first.size(), 64u);
  EXPECT_NE(first, message_.id);
}

TEST_F(MessageKeys, MessageLivesThroughItsExpirationDay) {
  const wchar_t* keys = L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=15/06/2030\nMessageURI=x:y\n"
                        L"MessageImageURL=http://h/i.png\n";
  ASSERT_EQ(Read(keys, TicksOf(2030, 6, 15, 23)), kOk);
  EXPECT_FALSE(message_.expired);
  EXPECT_TRUE(message_.WantsProtocol());
  EXPECT_TRUE(message_.WantsImage());
  ASSERT_EQ(Read(keys, TicksOf(2030, 6, 16, 1)), kOk);
  EXPECT_TRUE(message_.expired);
  EXPECT_FALSE(message_.WantsProtocol());
  EXPECT_FALSE(message_.WantsImage());
}

TEST(MessageExpiry, BoundaryIsTheStartOfTheNextDay) {
  FileTime64 nextDay = TicksOf(2030, 6, 16);
  EXPECT_FALSE(IsExpiredAt(15, 6, 2030, nextDay));
  EXPECT_TRUE(IsExpiredAt(15, 6, 2030, nextDay + 1));
  EXPECT_FALSE(IsExpiredAt(15, 6, 2030, nextDay - kTicksPerDay / 2));
}

TEST(MessageExpiry, CurrentTimeSeesTodayAsLiveAndYesterdayAsExpired) {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  FileTime64 current = CurrentUtcFileTime();
  EXPECT_FALSE(IsExpiredAt(now.wDay, now.wMonth, now.wYear, current));
  FileTime64 yesterday = current - kTicksPerDay;
  FILETIME file{static_cast<DWORD>(yesterday & 0xFFFFFFFF), static_cast<DWORD>(yesterday >> 32)};
  SYSTEMTIME before{};
  ::FileTimeToSystemTime(&file, &before);
  EXPECT_TRUE(IsExpiredAt(before.wDay, before.wMonth, before.wYear, current));
}

TEST_F(MessageKeys, WriteThenReadGivesTheSameMessage) {
  ASSERT_EQ(Read(L"MessageTitle=Title\nMessageBody=Body text\nMessageExpirationDate=1/2/2031\n"
                 L"MessageImageURL=http://h/i.png\nMessageURI=https://e/x\nMessageButtonText=Go\n"),
            kOk);
  std::wstring path = folder_.File(L"selection.ini");
  ASSERT_EQ(message_.WriteMessage(IniFile(path)), kOk);
  PublisherMessage again;
  ASSERT_EQ(again.ReadMessage(IniFile(path), TicksOf(2030, 1, 1)), kOk);
  EXPECT_EQ(again.title, L"Title");
  EXPECT_EQ(again.body, L"Body text");
  EXPECT_EQ(again.expirationDate, L"1/2/2031");
  EXPECT_EQ(again.imageUrl, L"http://h/i.png");
  EXPECT_EQ(again.uri, L"https://e/x");
  EXPECT_EQ(again.buttonText, L"Go");
  EXPECT_EQ(again.id, message_.id);
}

TEST_F(MessageKeys, ButtonTextIsWrittenOnlyWithAUri) {
  ASSERT_EQ(Read(L"MessageTitle=T\nMessageBody=B\nMessageExpirationDate=1/2/2031\nMessageButtonText=Go\n"), kOk);
  std::wstring path = folder_.File(L"selection.ini");
  ASSERT_EQ(message_.WriteMessage(IniFile(path)), kOk);
  IniFile written(path);
  EXPECT_EQ(written.GetString(L"General", L"MessageTitle"), L"T");
  EXPECT_EQ(written.GetString(L"General", L"MessageButtonText"), L"");
  EXPECT_EQ(written.GetString(L"General", L"MessageImageURL"), L"");
}

TEST_F(MessageKeys, NoMessageWritesNothing) {
  std::wstring path = folder_.File(L"nothing.ini");
  ASSERT_EQ(PublisherMessage{}.WriteMessage(IniFile(path)), kOk);
  EXPECT_EQ(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace updater
