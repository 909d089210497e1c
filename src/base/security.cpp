#include "base/security.h"

namespace updater {
namespace {

struct AccountSid {
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD rid;
  TRUSTEE_TYPE type;
};

AccountSid SidOf(WellKnownAccount account) {
  switch (account) {
    case WellKnownAccount::kEveryone:
      return {SECURITY_WORLD_SID_AUTHORITY, SECURITY_WORLD_RID, TRUSTEE_IS_WELL_KNOWN_GROUP};
    case WellKnownAccount::kLocalSystem:
      return {SECURITY_NT_AUTHORITY, SECURITY_LOCAL_SYSTEM_RID, TRUSTEE_IS_USER};
    case WellKnownAccount::kInteractiveUsers:
      return {SECURITY_NT_AUTHORITY, SECURITY_INTERACTIVE_RID, TRUSTEE_IS_WELL_KNOWN_GROUP};
  }
  return {SECURITY_WORLD_SID_AUTHORITY, SECURITY_WORLD_RID, TRUSTEE_IS_WELL_KNOWN_GROUP};
}

}  // namespace

Result BuildAccessList(const std::vector<AccessGrant>& grants, PACL base, UniqueLocalMem& acl) {
  std::vector<UniqueSid> sids(grants.size());
  std::vector<EXPLICIT_ACCESSW> entries(grants.size());
  for (size_t i = 0; i < grants.size(); ++i) {
    AccountSid account = SidOf(grants[i].account);
    if (!::AllocateAndInitializeSid(&account.authority, 1, account.rid, 0, 0, 0, 0, 0, 0, 0, sids[i].Put()))
      return ::GetLastError();
    entries[i].grfAccessPermissions = grants[i].rights;
    entries[i].grfAccessMode = grants[i].mode;
    entries[i].grfInheritance = grants[i].inheritance;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = account.type;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i].Get());
  }
  // The list copies the accounts' identifiers; they are freed when this returns.
  PACL built = nullptr;
  DWORD result = ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), base, &built);
  if (result != ERROR_SUCCESS) return result;
  acl.Reset(built);
  return kOk;
}

SecurityDescriptorFor::SecurityDescriptorFor(PACL acl) {
  valid_ = ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  attributes_ = SECURITY_ATTRIBUTES{sizeof(attributes_), &descriptor_, FALSE};
}

}  // namespace updater
