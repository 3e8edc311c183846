// Process-wide security for shared objects, Windows: Everyone read/write, Administrators all.
#include <aclapi.h>
#include <windows.h>

#include "service/shared_security.h"

namespace zel::vem {

namespace {

class SecurityDescriptor {
  public:
    SecurityDescriptor() { valid = build(); }
    ~SecurityDescriptor() { release(); }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    SECURITY_ATTRIBUTES* get() { return valid ? &attributes : nullptr; }

  private:
    bool build() {
        SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
        if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &everyoneSid)) {
            everyoneSid = nullptr;
            return fail();
        }
        EXPLICIT_ACCESS_W entries[2] = {};
        entries[0].grfAccessPermissions = GENERIC_READ | GENERIC_WRITE | READ_CONTROL;
        entries[0].grfAccessMode = SET_ACCESS;
        entries[0].grfInheritance = NO_INHERITANCE;
        entries[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entries[0].Trustee.ptstrName = static_cast<LPWSTR>(everyoneSid);

        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                      DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &adminsSid)) {
            adminsSid = nullptr;
            return fail();
        }
        entries[1].grfAccessPermissions =
            GENERIC_ALL | GENERIC_EXECUTE | GENERIC_WRITE | GENERIC_READ | STANDARD_RIGHTS_REQUIRED;
        entries[1].grfAccessMode = SET_ACCESS;
        entries[1].grfInheritance = NO_INHERITANCE;
        entries[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[1].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        entries[1].Trustee.ptstrName = static_cast<LPWSTR>(adminsSid);

        if (SetEntriesInAclW(2, entries, nullptr, &acl) != ERROR_SUCCESS) {
            acl = nullptr;
            return fail();
        }
        descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (descriptor == nullptr ||
            !InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
            return fail();
        }
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
        return true;
    }

    bool fail() {
        release();
        return false;
    }

    void release() {
        if (everyoneSid != nullptr) {
            FreeSid(everyoneSid);
            everyoneSid = nullptr;
        }
        if (adminsSid != nullptr) {
            FreeSid(adminsSid);
            adminsSid = nullptr;
        }
        if (acl != nullptr) {
            LocalFree(acl);
            acl = nullptr;
        }
        if (descriptor != nullptr) {
            LocalFree(descriptor);
            descriptor = nullptr;
        }
    }

    SECURITY_ATTRIBUTES attributes = {};
    PSID everyoneSid = nullptr;
    PSID adminsSid = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool valid = false;
};

}  // namespace

void* SharedSecurity::attributes() {
    // A function-local static: the runtime builds it once even when threads race to first use.
    static SecurityDescriptor security;
    return security.get();
}

}  // namespace zel::vem
