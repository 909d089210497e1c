#include "install/command_channel.h"

#include <gtest/gtest.h>

#include <vector>

namespace updater {
namespace {

TEST(CommandChannel, BaseNamesAndObjectNames) {
  const GUID guid{0x0123ABCD, 0x00EF, 0x4A5B, {0x8C, 0x0D, 0x1E, 0x2F, 0x30, 0x41, 0x52, 0x63}};
  EXPECT_EQ(GuidBaseName(guid), L"0123ABCD_00EF_4A5B_8C0D_1E2F30415263");

  const std::pair<const wchar_t*, const wchar_t*> legacy[] = {
      {L"C:\\Program Files\\Acme\\Updater.exe /runservice", L"c:_program"},  // the first word only
      {L"\"C:\\Program Files\\Acme\\Updater.exe\" /runservice", L"c:_program files_acme_updater.exe"},
      {L"C:\\Acme\\UPDATER.EXE/runservice", L"c:_acme_updater.exe"},
      {L"", L""},
  };
  for (const auto& [commandLine, base] : legacy) EXPECT_EQ(LegacyBaseName(commandLine), base) << commandLine;

  // Our own service programs (2.2 and later) speak the GUID names; older ones, or one whose version
  // cannot be read, the legacy name.
  const std::wstring service = L"\"C:\\Acme\\updater.exe\" /runservice";
  EXPECT_EQ(ChannelBaseFor(L"G", service, VersionNumber::Of(2, 2)), L"G");
  EXPECT_EQ(ChannelBaseFor(L"G", service, VersionNumber::Of(3, 0, 1)), L"G");
  EXPECT_EQ(ChannelBaseFor(L"G", service, VersionNumber::Of(2, 1, 9, 9)), L"c:_acme_updater.exe");
  EXPECT_EQ(ChannelBaseFor(L"G", service, VersionNumber{}), L"c:_acme_updater.exe");
  EXPECT_EQ(ChannelBaseFor(L"G", L"", VersionNumber{}), L"G") << "no configuration read: the fresh name";

  ChannelNames names = ChannelNamesFor(L"B");
  EXPECT_EQ(names.mapping, L"Global\\srv_B");
  EXPECT_EQ(names.command, L"Global\\evt_B");
  EXPECT_EQ(names.done, L"Global\\evt2_B");
  EXPECT_EQ(names.ready, L"Global\\evt3_B");
}

TEST(CommandChannel, LayoutCutsEachTextAndKeepsTheResultApart) {
  static_assert(kChannelBytes == 8324 && kChannelResultOffset == 8320);
  std::vector<unsigned char> view(kChannelBytes, 0xCC);
  WriteChannelResult(view.data(), 0xE0000020u);
  ChannelCommand sent{{L"install", std::wstring(2000, L'x'), L"C:\\app\\updater.ini", L""}};
  WriteChannelCommand(view.data(), sent);
  ChannelCommand received = ReadChannelCommand(view.data());
  EXPECT_EQ(received.fields[0], L"install");
  EXPECT_EQ(received.fields[1], std::wstring(1039, L'x'));
  EXPECT_EQ(received.fields[2], L"C:\\app\\updater.ini");
  EXPECT_EQ(received.fields[3], L"");
  EXPECT_EQ(ReadChannelResult(view.data()), 0xE0000020u) << "the texts never reach the result";
  EXPECT_EQ(view[2 * kChannelFieldBytes - 2], 0) << "the cut field keeps its terminator";

  // A field written by someone else without a terminator is read to the end of its slot only.
  std::vector<unsigned char> hostile(kChannelBytes, 0x41);
  ChannelCommand read = ReadChannelCommand(hostile.data());
  for (const std::wstring& field : read.fields) EXPECT_EQ(field.size(), kChannelFieldChars);

  EXPECT_EQ(DescribeChannelCommand(ChannelCommand{{L"install", L"A", L"C:\\u.ini", L"http://h/u.ini"}}),
            L"install(\"A\", \"C:\\u.ini\", \"http://h/u.ini\")");
}

TEST(CommandChannel, ServerTakesOnlyInstallAndFilesInsideTheDownloadsFolder) {
  EXPECT_TRUE(IsKnownServerCommand(L"install"));
  for (const wchar_t* other : {L"Install", L"INSTALL", L"install ", L"uninstall", L""})
    EXPECT_FALSE(IsKnownServerCommand(other)) << other;

  const std::wstring folder = L"C:\\ProgramData\\Acme\\Downloads";
  const std::pair<const wchar_t*, bool> paths[] = {
      {L"C:\\ProgramData\\Acme\\Downloads\\Tool\\setup.exe", true},
      {L"c:\\programdata\\ACME\\downloads\\setup.msi", true},
      {L"C:/ProgramData/Acme/Downloads/Tool/setup.exe", true},
      {L"C:\\ProgramData\\Acme\\Downloads", false},                       // the folder itself
      {L"C:\\ProgramData\\Acme\\DownloadsX\\setup.exe", false},           // a sibling with the same start
      {L"C:\\ProgramData\\Acme\\Downloads\\..\\evil.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\Tool\\..\\..\\evil.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\.\\setup.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\...\\setup.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\.. \\setup.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\\\setup.exe", false},
      {L"C:\\ProgramData\\Acme\\Downloads\\setup.exe:stream", false},
      {L"\\\\server\\share\\Downloads\\setup.exe", false},
      {L"\\\\?\\C:\\ProgramData\\Acme\\Downloads\\setup.exe", false},
      {L"Downloads\\setup.exe", false},
      {L"D:\\ProgramData\\Acme\\Downloads\\setup.exe", false},
  };
  for (const auto& [path, inside] : paths) EXPECT_EQ(IsPathInsideFolder(path, folder), inside) << path;
  EXPECT_TRUE(IsPathInsideFolder(L"C:\\D\\x.exe", L"C:\\D\\")) << "a trailing backslash on the folder";
  EXPECT_FALSE(IsPathInsideFolder(L"C:\\D\\x.exe", L"Downloads")) << "a relative folder bounds nothing";
}

}  // namespace
}  // namespace updater
