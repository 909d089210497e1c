// Access lists for what the updater shares with other accounts: folders and part files that
// another account finishes, and the support service that interactive users may start.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

enum class WellKnownAccount { kEveryone, kLocalSystem, kInteractiveUsers };

struct AccessGrant {
  WellKnownAccount account;
  DWORD rights;
  ACCESS_MODE mode = SET_ACCESS;
  DWORD inheritance = NO_INHERITANCE;
};

// An access list with the grants, added to `base` when one is given (its other entries stay).
// 0 and the list (freed with LocalFree by its owner), or the error.
Result BuildAccessList(const std::vector<AccessGrant>& grants, PACL base, UniqueLocalMem& acl);

// An absolute security descriptor over an access list that the caller keeps alive, and security
// attributes (not inherited) that point at it.
class SecurityDescriptorFor {
 public:
  explicit SecurityDescriptorFor(PACL acl);
  SecurityDescriptorFor(const SecurityDescriptorFor&) = delete;
  SecurityDescriptorFor& operator=(const SecurityDescriptorFor&) = delete;

  bool Valid() const { return valid_; }
  PSECURITY_DESCRIPTOR Get() { return &descriptor_; }
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

}  // namespace updater
