// Field-by-field comparison of update records for the catalogue tests.
#pragma once

#include <gtest/gtest.h>

#include "catalogue/update_record.h"
#include "catalogue/version.h"

namespace updater::testing_support {

// Every field the reader fills, except the links between records.
inline void ExpectSameRecord(const UpdateRecord& a, const UpdateRecord& b) {
  EXPECT_EQ(a.sectionName, b.sectionName);
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Category, b.Category);
  EXPECT_EQ(a.ServerFileName, b.ServerFileName);
  EXPECT_EQ(a.UpdatedApplicationVersions, b.UpdatedApplicationVersions);
  EXPECT_EQ(a.UpdatedApplications, b.UpdatedApplications);
  EXPECT_EQ(a.Description, b.Description);
  for (int kind = 0; kind < 3; ++kind) EXPECT_EQ(a.descriptionGroups[kind].items, b.descriptionGroups[kind].items);
  EXPECT_EQ(a.Size, b.Size);
  EXPECT_EQ(a.Flags.Value(), b.Flags.Value());
  EXPECT_EQ(a.SHA256, b.SHA256);
  EXPECT_EQ(a.MD5, b.MD5);
  EXPECT_EQ(a.URL, b.URL);
  ASSERT_EQ(a.AutoCloseApplication.size(), b.AutoCloseApplication.size());
  for (size_t i = 0; i < a.AutoCloseApplication.size(); ++i) {
    EXPECT_EQ(a.AutoCloseApplication[i].path, b.AutoCloseApplication[i].path);
    EXPECT_EQ(a.AutoCloseApplication[i].restartArguments, b.AutoCloseApplication[i].restartArguments);
    EXPECT_EQ(a.AutoCloseApplication[i].windowTitle, b.AutoCloseApplication[i].windowTitle);
    EXPECT_EQ(a.AutoCloseApplication[i].restartFlags.Value(), b.AutoCloseApplication[i].restartFlags.Value());
  }
  EXPECT_EQ(a.CommandLine, b.CommandLine);
  EXPECT_EQ(a.NoGUICommandLineSwitch, b.NoGUICommandLineSwitch);
  EXPECT_TRUE(SameVersion(a.TargetOsMinVersion, b.TargetOsMinVersion));
  EXPECT_TRUE(SameVersion(a.TargetOsMaxVersion, b.TargetOsMaxVersion));
  EXPECT_EQ(a.detectionKind, b.detectionKind);
  EXPECT_EQ(a.detectionTarget, b.detectionTarget);
  EXPECT_EQ(a.CustomDetectionParams, b.CustomDetectionParams);
  EXPECT_EQ(a.AppIdName, b.AppIdName);
  EXPECT_EQ(a.AppIdArch, b.AppIdArch);
  EXPECT_EQ(a.AppIdResourceId, b.AppIdResourceId);
  EXPECT_EQ(a.AppIdPublisherId, b.AppIdPublisherId);
  EXPECT_EQ(a.criteria, b.criteria);
  EXPECT_EQ(a.versionOperator, b.versionOperator);
  EXPECT_TRUE(SameVersion(a.Version, b.Version));
  EXPECT_EQ(a.FileSize, b.FileSize);
  EXPECT_EQ(a.ReleaseDate.day, b.ReleaseDate.day);
  EXPECT_EQ(a.ReleaseDate.month, b.ReleaseDate.month);
  EXPECT_EQ(a.ReleaseDate.year, b.ReleaseDate.year);
  EXPECT_EQ(a.replacesAll, b.replacesAll);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.localPath, b.localPath);
}

}  // namespace updater::testing_support
