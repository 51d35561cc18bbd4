// Record operations on the containers of the partition, in the console's and the service's form.
#include "zemir/directory/records.h"

#include <cstdio>

#include "zemir/common/trace.h"
#include "zemir/platform/codepage.h"

namespace zemir {

namespace {

std::string A(const std::u16string& w) { return WideToAnsi(w); }
bool Given(const char* s) { return s && *s; }

enum class Variant { Console, Service };

// Reads the attributes named in `attrs` from an open object.
void ReadAttributes(ApHandle h, AttrMap& attrs) {
  for (auto& [name, value] : attrs) {
    if (name.size() < 2) continue;
    std::u16string text;
    bool had = false;
    ApStatus st = ap::GetAttr(h, name, &text, &had);
    if (st != 0) {
      Trace("Can't LDAP_GetAttr(%s)", A(name).c_str());
      continue;
    }
    if (had) {
      Trace("attr %s=%s. ", A(name).c_str(), A(text).c_str());
      value = text;
    }
  }
}

// Steps shared by the search forms: open the container, search with the filter, take the
// first item, open it and read the attributes. `tag` names the operation in the log lines.
bool SearchAndRead(const char* tag, Variant v, const std::u16string& container, const std::string& filter,
                   AttrMap& attrs) {
  ApObject::Variant ov = v == Variant::Service ? ApObject::Variant::Service : ApObject::Variant::Console;
  std::u16string cpath = ContainerPath(container);
  std::u16string path;
  {
    ApObject cont(ov);
    if (!cont.Open(cpath)) {
      if (v == Variant::Console) {
        Trace("%s OpenObject err %s. Set Offline.", tag, A(cpath).c_str());
        ApOfflineMode = true;
      } else {
        Trace("%s OpenObject err %s", tag, A(cpath).c_str());
      }
      return false;
    }
    if (filter.size() > kMaxFilterLength) {
      Trace("%s filter of %d characters is longer than %d, not searched: %.60s...", tag, static_cast<int>(filter.size()),
            static_cast<int>(kMaxFilterLength), filter.c_str());
      return false;
    }
    std::u16string wfilter = AnsiToWide(filter);
    Trace("%s search by filter: %s ... ", tag, filter.c_str());
    auto f = ApLib().SearchChildren;
    char16_t* buf = nullptr;
    std::uint32_t len = 0;
    ApStatus st = f ? f(cont.Handle(), wfilter.c_str(), &buf, &len) : kApNotSupported;
    if (st != 0) {
      Trace("Can't LDAP_SearchChildren %s", filter.c_str());
      LogAdapterError(st);
      if (buf && ApLib().FreeBuffer) ApLib().FreeBuffer(buf);
      return false;
    }
    std::vector<std::u16string> items;
    bool ok = MultiSzStr_to_List(buf, static_cast<long>(len), items);
    if (buf && ApLib().FreeBuffer) ApLib().FreeBuffer(buf);
    if (!ok) {
      Trace("Can't MultiSzStr_to_List");
      return false;
    }
    if (items.empty()) {
      Trace("Found 0 items.  ");
      return false;
    }
    path = items.front();
    Trace("Found %d items. 1-%s ", static_cast<int>(items.size()), A(path).c_str());
  }
  ApObject obj(ov);
  if (!obj.Open(path)) {
    Trace("%s OpenObject fail %s", tag, A(path).c_str());
    return false;
  }
  ReadAttributes(obj.Handle(), attrs);
  return true;
}

bool GetAttrsMap(Variant v, const std::u16string& container, const char16_t* child, const char* userName,
                 const char* keySerial, AttrMap& attrs) {
  if (!load_APLib()) return false;
  if (v == Variant::Console) ApOfflineMode = false;
  const char* tag = "_zemirAP_getAttrsMap";
  if (child && *child) {
    std::u16string path = ChildPath(container, child);
    Trace("_zemirAP_getAttrsMap open by Name %s ... ", A(path).c_str());
    ApObject obj(v == Variant::Service ? ApObject::Variant::Service : ApObject::Variant::Console);
    if (!obj.Open(path)) {
      Trace("%s OpenObject fail %s", tag, A(path).c_str());
      return false;
    }
    ReadAttributes(obj.Handle(), attrs);
    return true;
  }
  bool escapeStar = v == Variant::Service;
  std::string filter;
  if (Given(keySerial)) {
    std::string serial = FilterEscape(keySerial, true);
    if (Given(userName))
      filter = "(&(zmUserName=" + FilterEscape(userName, escapeStar) + ")(zmUserKeySerial=" + serial + "))";
    else
      filter = "(zmUserKeySerial=" + serial + ")";
  } else if (Given(userName)) {
    bool alt = v == Variant::Console && std::string_view(userName).find('*') != std::string_view::npos;
    filter = std::string(alt ? "(zmUserAttr1=" : "(zmUserName=") + FilterEscape(userName, escapeStar) + ")";
  }
  return SearchAndRead(tag, v, container, filter, attrs);
}

}  // namespace

std::string FilterEscape(std::string_view value, bool star) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (char c : value) {
    if (c == '(' || c == ')' || c == '\\' || c == '\0' || (star && c == '*')) {
      unsigned char u = static_cast<unsigned char>(c);
      out += '\\';
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool _zemirAP_addRecord(const std::u16string& container, const std::u16string& name, const std::u16string& className,
                        AttrMap attrs) {
  if (!load_APLib()) return false;
  Trace("_zemirAP_addRecord (to:%s cls:%s) nameID:%s", A(container).c_str(), A(className).c_str(), A(name).c_str());
  std::u16string path = ObjectPath(container, name);
  ApObject obj;
  if (obj.Open(path)) {
    Trace("Updating %s", A(path).c_str());
  } else {
    ApHandle h = 0;
    ApStatus st = ap::CreateObject(&h, path, className);
    if (st != 0) {
      Trace("Can't LDAP_CreateObject %s", A(path).c_str());
      LogAdapterError(st);
      return false;
    }
    Trace("Create OK %s", A(path).c_str());
    obj.Reset(h);
  }
  for (auto& [n, v] : attrs) {
    Trace("save attr %s - %s.", A(n).c_str(), A(v).c_str());
    if (n.size() < 2) continue;
    std::u16string value = v.empty() ? std::u16string(u" ") : v;
    ApStatus st = ap::SetAttr(obj.Handle(), n, value);
    if (st != 0) {
      Trace("Can't LDAP_SetAttr(%s %s)", A(n).c_str(), A(value).c_str());
      LogAdapterError(st);
    }
  }
  ApStatus st = ap::FlushObject(obj.Handle());
  if (st != 0) {
    Trace("Can't LDAP_FlushObject");
    LogAdapterError(st);
  }
  return true;
}

std::vector<std::u16string> _zemirAP_ListChilds(const std::u16string& container) {
  std::vector<std::u16string> list;
  if (!load_APLib()) return list;
  std::u16string path = ContainerPath(container);
  ApObject obj;
  if (!obj.Open(path)) {
    Trace("_zemirAP_ListChilds Err %s", A(path).c_str());
    return list;
  }
  auto f = ApLib().GetChildren;
  char16_t* buf = nullptr;
  std::uint32_t len = 0;
  ApStatus st = f ? f(obj.Handle(), &buf, &len) : kApNotSupported;
  if (st != 0) {
    fputs("Can't LDAP_GetChildren\n", stdout);
    LogAdapterError(st);
    if (buf && ApLib().FreeBuffer) ApLib().FreeBuffer(buf);
    return list;
  }
  if (!MultiSzStr_to_List(buf, static_cast<long>(len), list)) fputs("Can't MultiSzStr_to_List\n", stdout);
  if (buf && ApLib().FreeBuffer) ApLib().FreeBuffer(buf);
  return list;
}

bool _zemirAP_getAttrsMap(const std::u16string& container, const char16_t* child, const char* userName,
                          const char* keySerial, AttrMap& attrs) {
  return GetAttrsMap(Variant::Console, container, child, userName, keySerial, attrs);
}

namespace svc {

bool _zemirAP_getAttrsMap(const std::u16string& container, const char16_t* child, const char* userName,
                          const char* keySerial, AttrMap& attrs) {
  return GetAttrsMap(Variant::Service, container, child, userName, keySerial, attrs);
}

bool _zemirAP_findSelfEnrolls(const std::u16string& container, AttrMap& attrs, const char* userName,
                              const char* signalType) {
  if (!load_APLib()) return false;
  std::string filter;
  if (Given(userName) && Given(signalType))
    filter = "(&(zmUserName=" + FilterEscape(userName, true) + ")(zmSignalType=" + FilterEscape(signalType, true) + "))";
  else if (Given(signalType))
    filter = "(zmSignalType=" + FilterEscape(signalType, true) + ")";
  else if (Given(userName))
    filter = "(zmUserName=" + FilterEscape(userName, true) + ")";
  return SearchAndRead("_zemirAP_findSelfEnrolls", Variant::Service, container, filter, attrs);
}

}  // namespace svc

}  // namespace zemir
