#include "install/support_service.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <string>

namespace updater {
namespace {

// Allowed rights per trustee (SID text) and the number of denying entries of a list.
struct Rights {
  std::map<std::wstring, DWORD> allowed;
  int denied = 0;
};

Rights RightsOf(PACL list) {
  Rights rights;
  ACL_SIZE_INFORMATION size{};
  if (!list || !::GetAclInformation(list, &size, sizeof(size), AclSizeInformation)) return rights;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(list, i, &entry)) continue;
    auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      ++rights.denied;
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    LPWSTR sid = nullptr;
    ::ConvertSidToStringSidW(reinterpret_cast<PSID>(&allowed->SidStart), &sid);
    rights.allowed[sid] |= allowed->Mask;
    ::LocalFree(sid);
  }
  return rights;
}

Rights Extend(const wchar_t* sddl, Rights* before) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  UniqueLocalMem owner(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
  *before = RightsOf(list);
  UniqueLocalMem merged;
  EXPECT_EQ(ExtendServiceAccessList(descriptor, merged), kOk);
  return RightsOf(static_cast<PACL>(merged.Get()));
}

TEST(SupportService, RegistrationTexts) {
  EXPECT_EQ(SupportServiceCommandLine(L"C:\\Program Files\\Acme\\updater.exe"),
            L"\"C:\\Program Files\\Acme\\updater.exe\" /runservice");
  EXPECT_EQ(SupportServiceDescription(L"C:\\Program Files\\Acme\\Acme.Updater.exe"), L"Acme.Updater support service");
}

// Only start and query-status are added, and only for interactive users; nothing else changes.
TEST(SupportService, AccessListGainsStartAndQueryStatusForInteractiveUsersOnly) {
  const DWORD start = SERVICE_START, query = SERVICE_QUERY_STATUS;
  const wchar_t* lists[] = {
      // The service control manager's usual list for a new service.
      L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)",
      // No entry for interactive users yet.
      L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)",
      // An empty list (nobody may do anything).
      L"D:",
  };
  for (const wchar_t* sddl : lists) {
    Rights before;
    Rights after = Extend(sddl, &before);
    DWORD interactiveBefore = before.allowed.count(L"S-1-5-4") ? before.allowed[L"S-1-5-4"] : 0;
    EXPECT_EQ(after.allowed[L"S-1-5-4"], interactiveBefore | start | query) << sddl;
    after.allowed.erase(L"S-1-5-4");
    before.allowed.erase(L"S-1-5-4");
    EXPECT_EQ(after.allowed, before.allowed) << sddl;
    EXPECT_EQ(after.denied, before.denied) << sddl;
  }
  EXPECT_EQ(kGrantedServiceRights, start | query);
}

}  // namespace
}  // namespace updater
