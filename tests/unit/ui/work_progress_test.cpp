#include "ui/work_progress.h"

#include <gtest/gtest.h>

#include "install/installer.h"
#include "transfer/download_observer.h"

namespace updater {
namespace {

// Two files of 600 and 400 bytes: the bar runs over all 1000 bytes, each file's status shows its
// own share, and reports between the interval's ticks are held back except a file's last one.
TEST(WorkProgress, DownloadBarCoversAllFilesAndReportsAreThrottled) {
  WorkProgress progress;
  ProgressView begun = progress.Begin(PAID_DOWNLOAD, 2, nullptr, 1000, 0);
  EXPECT_EQ(begun.range, WorkProgress::kDownloadRange);
  EXPECT_EQ(begun.position, 0);

  ProgressView file = progress.Begin(PAID_DOWNLOAD_FILE, 600, L"C:\\\\d\\\\a.exe", 0, 1000);
  EXPECT_EQ(file.position, 0);
  ASSERT_TRUE(file.status.has_value());
  EXPECT_NE(file.status->find(L"0%"), std::wstring::npos) << *file.status;

  EXPECT_TRUE(progress.Perform(300, 1050).Empty()) << "within the interval";
  ProgressView half = progress.Perform(0, 1000 + WorkProgress::kReportInterval);
  EXPECT_EQ(half.position, 300);
  EXPECT_NE(half.status->find(L"50%"), std::wstring::npos) << *half.status;
  ProgressView full = progress.Perform(300, 1101);  // the file's last bytes show at once
  EXPECT_EQ(full.position, 600);
  EXPECT_TRUE(progress.End(PAID_DOWNLOAD_FILE, kOk).Empty());

  progress.Begin(PAID_DOWNLOAD_FILE, 400, L"b.exe", 0, 2000);
  EXPECT_EQ(progress.Perform(400, 2001).position, 1000);
  progress.End(PAID_DOWNLOAD_FILE, kOk);

  // A file with no announced size never reports a share above 100 % or a bar past its end.
  progress.Begin(PAID_DOWNLOAD_FILE, 0, L"c.exe", 0, 3000);
  ProgressView unknown = progress.Perform(500, 3500);
  EXPECT_EQ(unknown.position, WorkProgress::kDownloadRange);
  EXPECT_NE(unknown.status->find(L"100%"), std::wstring::npos) << *unknown.status;
}

TEST(WorkProgress, CorruptFileRetryAndFailedFilesDoNotCount) {
  WorkProgress progress;
  progress.Begin(PAID_DOWNLOAD, 1, nullptr, 800, 0);
  progress.Begin(PAID_DOWNLOAD_FILE, 800, L"a.exe", 0, 0);
  progress.Perform(800, 10);
  progress.End(PAID_DOWNLOAD_FILE, kOk);
  // The file failed its hash check and downloads again: the bar starts over for it.
  progress.ForgetLastFile();
  progress.Begin(PAID_DOWNLOAD_FILE, 800, L"a.exe", 0, 1000);
  EXPECT_EQ(progress.Perform(400, 2000).position, 500);
  // A transfer that failed adds nothing to the bytes done.
  progress.End(PAID_DOWNLOAD_FILE, E_UPD_CANCELED);
  progress.Begin(PAID_DOWNLOAD_FILE, 800, L"a.exe", 0, 3000);
  EXPECT_EQ(progress.Perform(0, 4000).position, 0);
}

TEST(WorkProgress, InstallationCountsUpdatesAndNamesTheCurrentOne) {
  WorkProgress progress;
  ProgressView begun = progress.Begin(PAID_INSTALL, 3, nullptr, 0, 0);
  EXPECT_EQ(begun.range, 3);
  EXPECT_EQ(begun.position, 0);
  ProgressView named = progress.Begin(PAID_INSTALL_UPDATE, 0, L"Acme Tool 1.2", 0, 0);
  ASSERT_TRUE(named.status.has_value());
  EXPECT_NE(named.status->find(L"Acme Tool 1.2"), std::wstring::npos);
  EXPECT_EQ(progress.End(PAID_INSTALL_UPDATE, kOk).position, 1);
  EXPECT_EQ(progress.End(PAID_INSTALL_UPDATE, 1603).position, 2);
  EXPECT_EQ(progress.Begin(PAID_INSTALL, 0, nullptr, 0, 0).range, 1) << "an empty installation keeps a valid range";
  // Checks name the file without its folder.
  ProgressView check = progress.Begin(PAID_CHECK_SHA256, 0, L"C:\\\\downloads\\\\A\\\\a.exe", 0, 0);
  ASSERT_TRUE(check.status.has_value());
  EXPECT_NE(check.status->find(L"(a.exe)"), std::wstring::npos) << *check.status;
}

}  // namespace
}  // namespace updater
