// Binding of the directory adapter module and the shared access helpers on top of it: the
// owner of open objects, the flush step, the error line, the offline flag and list reading.
#pragma once
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "zemir/directory/adapter_abi.h"

namespace zemir {

// The partition and its containers.
inline constexpr const char16_t* kPartitionDn = u"DC=Zemir,DC=com";
inline constexpr const char16_t* kGlobalSettings = u"CN=GlobalSettings";
inline constexpr const char16_t* kGlobalKeys = u"CN=GlobalKeys";
inline constexpr const char16_t* kSelfEnrolls = u"CN=SelfEnrolls";
inline constexpr const char16_t* kSecretKeys = u"CN=SecretKeys";

// Path forms handed to the adapter.
std::u16string PartitionPath();                                                       // LDAP://DC=Zemir,DC=com
std::u16string ContainerPath(const std::u16string& container);                         // LDAP://<container>,DC=...
std::u16string ObjectPath(const std::u16string& container, const std::u16string& name);  // LDAP://CN=<name>,...
std::u16string ChildPath(const std::u16string& container, const std::u16string& child);  // LDAP://<child>,...

// The bound entry points; null until load_APLib succeeds (optional ones may stay null).
struct ApEntryPoints {
  PFN_LDAP_OpenObject OpenObject = nullptr;
  PFN_LDAP_CloseObject CloseObject = nullptr;
  PFN_LDAP_FlushObject FlushObject = nullptr;
  PFN_LDAP_CreateObject CreateObject = nullptr;
  PFN_LDAP_DeleteObject DeleteObject = nullptr;
  PFN_LDAP_GetAttr GetAttr = nullptr;
  PFN_LDAP_SetAttr SetAttr = nullptr;
  PFN_LDAP_GetChildren GetChildren = nullptr;
  PFN_LDAP_SearchChildren SearchChildren = nullptr;
  PFN_LDAP_IsApplicationPartitionExist IsApplicationPartitionExist = nullptr;
  PFN_LDAP_GetStatusDescription GetStatusDescription = nullptr;
  PFN_LDAP_FreeBuffer FreeBuffer = nullptr;
  PFN_LDAP_SetLogFile SetLogFile = nullptr;
  PFN_LDAP_SetLogLevel SetLogLevel = nullptr;
  PFN_LDAP_SetVariantAttr SetVariantAttr = nullptr;
};

// Binds the adapter ("zemir_adap.dll", else "zemir_adap64.dll") once per process. A failed
// binding stays failed for the rest of the process.
bool load_APLib();
// The entry points of the bound adapter (all null while unbound).
const ApEntryPoints& ApLib();
// Forgets the binding so the next load_APLib binds again (tests; never called by the programs).
void ResetAPLibBinding();

// Calls through the binding. An entry point the adapter does not export gives
// kApNotSupported instead of a call through a null pointer.
namespace ap {
ApStatus OpenObject(ApHandle* h, const std::u16string& path);
ApStatus CloseObject(ApHandle h);
ApStatus FlushObject(ApHandle h);
ApStatus CreateObject(ApHandle* h, const std::u16string& path, const std::u16string& className);
ApStatus DeleteObject(const std::u16string& path);
// The attribute's text; a success without text leaves `value` unset and *hadText false.
ApStatus GetAttr(ApHandle h, const std::u16string& name, std::u16string* value, bool* hadText = nullptr);
ApStatus SetAttr(ApHandle h, const std::u16string& name, const std::u16string& value);
ApStatus IsApplicationPartitionExist(const std::u16string& path);
ApStatus SetLogFile(const std::u16string& file);
ApStatus SetLogLevel(std::uint32_t level);
}  // namespace ap

// The process-wide offline flag: while set, failed opens through ApObject are not logged.
extern std::atomic<bool> ApOfflineMode;

// Logs " [ERROR] <adapter's description> (0x<status>)"; nothing when the adapter is unbound.
void LogAdapterError(ApStatus status);

// Owns at most one open adapter handle.
class ApObject {
 public:
  // The service's objects log every failed open: it keeps no offline flag.
  enum class Variant { Console, Service };
  explicit ApObject(Variant v = Variant::Console) : variant_(v) {}
  ~ApObject() { Reset(0); }
  ApObject(const ApObject&) = delete;
  ApObject& operator=(const ApObject&) = delete;

  bool Open(const std::u16string& path);
  void Reset(ApHandle handle = 0);
  ApHandle Handle() const { return handle_; }

 private:
  Variant variant_;
  ApHandle handle_ = 0;
};

// LDAP_FlushObject; logs "Can't LDAP_FlushObject" and the error line on failure.
bool ApFlush(ApHandle handle);

// Appends the strings of an adapter list (NUL-terminated strings ended by an empty one;
// `length` in wide characters) to `list`. False when a string lacks its NUL within `length`.
bool MultiSzStr_to_List(const char16_t* buffer, long length, std::vector<std::u16string>& list);

// Request and answer of the record operations: attribute name -> value.
using AttrMap = std::map<std::u16string, std::u16string>;

}  // namespace zemir
