// Directory services of the domain: searches, group membership, users' phone numbers, the
// domain's name and the machine's role, and the local account database. The domain's server is
// an LDAP server or the embedded store (DomainURI, else DirectoryURI); a server that is not
// Active Directory is asked in its own vocabulary (person, groupOfNames, uid, cn).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zemir/platform/win32.h"

namespace zemir {

namespace platform {
class Directory;
}

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT S_ADS_NOMORE_ROWS = 0x00005012;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_ADS_BAD_PATHNAME = static_cast<HRESULT>(0x80005000u);
constexpr HRESULT E_ADS_COLUMN_NOT_SET = static_cast<HRESULT>(0x80005011u);
constexpr HRESULT E_ADS_PROPERTY_NOT_FOUND = static_cast<HRESULT>(0x8000500Du);
// A directory result code as an HRESULT: 0x80072000 + the LDAP result code; an existing
// member gives 0x80071392 (object already exists), as on Windows.
HRESULT HResultFromLdap(int code);
inline bool FAILED(HRESULT hr) { return hr < 0; }
inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

enum class AdsScope { Base = 0, OneLevel = 1, Subtree = 2 };

// IDirectorySearch over an ADSI path: "GC://domain" (every naming context of the domain's
// server), "LDAP://DN" or "LDAP://server/DN".
class DirectorySearch {
 public:
  ~DirectorySearch();
  // ADsOpenObject(path, ..., IID_IDirectorySearch): connects and binds to the domain's server.
  static HRESULT Open(const std::u16string& path, std::unique_ptr<DirectorySearch>& out);
  HRESULT SetSearchPreference(int pageSize, AdsScope scope, int timeLimitSeconds);
  // Runs the search; columns are attribute names plus "ADsPath" (the row's ADSI path, in the
  // scheme the search was opened with) and "distinguishedName".
  HRESULT ExecuteSearch(const std::u16string& filter, const std::vector<std::u16string>& columns);
  // Moves to the next row: S_OK, or S_ADS_NOMORE_ROWS after the last.
  HRESULT GetNextRow();
  // The current row's values of a column; E_ADS_COLUMN_NOT_SET when it has none.
  HRESULT GetColumn(const std::u16string& name, std::vector<std::u16string>& values);

 private:
  DirectorySearch() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// IADsGroup from ADsGetObject(path): Add puts a member (an ADSI path) into the group.
class AdsGroup {
 public:
  ~AdsGroup();
  static HRESULT Get(const std::u16string& path, std::unique_ptr<AdsGroup>& out);
  HRESULT Add(const std::u16string& memberPath);

 private:
  AdsGroup() = default;
  std::unique_ptr<platform::Directory> dir_;
  std::string dn_;
};

// IADsUser from ADsGetObject(path): the phone numbers of an account.
class AdsUser {
 public:
  static HRESULT Get(const std::u16string& path, std::unique_ptr<AdsUser>& out);
  HRESULT get_TelephoneMobile(std::u16string& out) const;
  HRESULT get_TelephoneNumber(std::u16string& out) const;

 private:
  AdsUser() = default;
  std::u16string mobile_, number_;
  bool hasMobile_ = false, hasNumber_ = false;
};

// IADsADSystemInfo: the domain's trees (its DNS name), the DNS name, a domain controller.
HRESULT AdsGetTrees(std::vector<std::u16string>& trees);
HRESULT AdsGetDomainDNSName(std::u16string& name);
HRESULT AdsGetAnyDCName(std::u16string& name);

// DsRoleGetPrimaryDomainInformation (basic information). The role comes from ProductType under
// SYSTEM\CurrentControlSet\Control\ProductOptions (WinNT, ServerNT, LanmanNt) and whether the
// domain's server names a domain.
constexpr DWORD DsRole_RoleStandaloneWorkstation = 0;
constexpr DWORD DsRole_RoleMemberWorkstation = 1;
constexpr DWORD DsRole_RoleStandaloneServer = 2;
constexpr DWORD DsRole_RoleMemberServer = 3;
constexpr DWORD DsRole_RoleBackupDomainController = 4;
constexpr DWORD DsRole_RolePrimaryDomainController = 5;
struct DsRolePrimaryDomainInfoBasic {
  DWORD MachineRole = 0;
  std::u16string DomainNameFlat;  // "CORP"
  std::u16string DomainNameDns;   // "corp.example"
};
DWORD DsRoleGetPrimaryDomainInformation(DsRolePrimaryDomainInfoBasic& info);

// LsaQueryInformationPolicy(PolicyPrimaryDomainInformation): the primary domain's flat name and
// whether it has a security identifier (a domain rather than a workgroup). An NTSTATUS.
struct LsaPrimaryDomainInfo {
  std::u16string Name;
  bool HasSid = false;
};
LONG LsaQueryPrimaryDomain(LsaPrimaryDomainInfo& info);
DWORD LsaNtStatusToWinError(LONG status);

// NetUserGetInfo level 10 from the local account database (the full name is the first field
// of the account's GECOS text).
constexpr DWORD NERR_UserNotFound = 2221;
struct USER_INFO_10 {
  std::u16string usri10_name, usri10_comment, usri10_usr_comment, usri10_full_name;
};
DWORD NetUserGetInfo(const char16_t* server, const char16_t* userName, DWORD level, USER_INFO_10& out);

}  // namespace zemir
