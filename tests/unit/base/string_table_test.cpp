#include "base/string_table.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include "resources/string_ids.h"

namespace updater {
namespace {

TEST(StringTable, EveryNamedIdHasTextAndIdsAreDistinct) {
  std::set<unsigned> seen;
  for (unsigned id : kAllStringIds) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(seen.insert(id).second);
    EXPECT_FALSE(LoadStringResource(id).empty());
    // Product texts, notification texts, and the wizard's own band.
    EXPECT_TRUE((id >= 113 && id <= 247) || (id >= 1081 && id <= 1083) || (id >= 3001 && id <= 3099));
  }
  EXPECT_TRUE(LoadStringResource(9999).empty());
}

TEST(StringTable, TextsWithQuotesPlaceholdersAndTrailingBlanks) {
  EXPECT_EQ(LoadStringResource(kStrCheckingForUpdates), L"Checking for Updates");
  EXPECT_EQ(LoadStringResource(kStrCustomProxyHint),
            L"You have a custom proxy \"%s\". The error may be caused by a non working proxy.");
  EXPECT_EQ(LoadStringResource(kStrServerRequiresCredentials),
            L"The server %s at %s requires a username and password. ");
  EXPECT_EQ(LoadStringResource(kStrNameAndDetail), L"%s. %s");
  EXPECT_EQ(LoadStringResource(kStrDownloadingProgress), L"Downloading (%s of %s, %d%% complete)");
  EXPECT_EQ(LoadStringResource(kStrUntrustedCertificateQuestion),
            L"The Certificate Issuer for this site is untrusted or unknown. Do you wish to proceed?");
  EXPECT_EQ(LoadStringResource(kStrCorruptFileRestartDownload),
            L"The file was corrupt (wrong %s signature). Restart download?");
  EXPECT_EQ(LoadStringResource(kStrRemindMeLater), L"Remind me later");
}

TEST(FillText, InsertsInOrder) {
  EXPECT_EQ(LoadStringFilled(kStrServerRequiresCredentials, {L"proxy.example", L"Staff area"}),
            L"The server proxy.example at Staff area requires a username and password. ");
  EXPECT_EQ(LoadStringFilled(kStrCustomProxyHint, {L"10.0.0.1:8080"}),
            L"You have a custom proxy \"10.0.0.1:8080\". The error may be caused by a non working proxy.");
  EXPECT_EQ(LoadStringFilled(kStrFoundUpdatesFor, {L"Kestrune"}), L"Found Updates for Kestrune");
}

TEST(FillText, InsertsAreNotReinterpreted) {
  // An insert that itself holds "%s" or "%%" goes in verbatim.
  EXPECT_EQ(FillText(L"%s. %s", {L"50%s", L"100%%"}), L"50%s. 100%%");
}

TEST(FillText, MissingAndSurplusInsertsAndPercentSigns) {
  EXPECT_EQ(FillText(L"%s at %s", {L"a"}), L"a at %s");
  EXPECT_EQ(FillText(L"only %s", {L"a", L"b"}), L"only a");
  EXPECT_EQ(FillText(L"%d%% done %", {}), L"%d% done %");
  EXPECT_EQ(FillText(L"", {L"a"}), L"");
}

}  // namespace
}  // namespace updater
