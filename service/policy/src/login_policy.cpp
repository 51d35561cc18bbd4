// The login policy of the one-time-password check: the two-factor control mode and its lists,
// address filters and group decide whether the password alone is enough.
#include "zemir/service/login_policy.h"

#include <cstring>
#include <string>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/domain.h"
#include "zemir/directory/records.h"
#include "zemir/keys/smartkey.h"
#include "zemir/platform/adsi.h"
#include "zemir/platform/codepage.h"

namespace zemir {

namespace {

int RegInt(const char* name) { return ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, name, 0); }

std::string RegText(const char* name, DWORD size) {
  std::string buf(size, '\0');
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, name, buf.data(), size);
  return std::string(buf.c_str());
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// Modes 2, 3 and the group half of mode 5, for a non-empty user name.
std::int32_t KeyOrGroupDecision(int mode, const char* userName, std::int32_t* closeSession) {
  std::string account(userName, strnlen(userName, 90));
  if (auto at = account.find('@'); at != std::string::npos) account.resize(at);

  if (mode == 2) {
    if (RegInt("ZemirADmode") != 1) return getUserUSBKeySerial(account.c_str()) ? 0 : 1;
    Trace("_zemirAP_getAttrsMap(username=%s)... ", account.c_str());
    AttrMap attrs{{u"zmKeyID", u""}, {u"zmUserName", u""}, {u"zmUserKeySerial", u""}, {u"zmUserPolicy", u""}};
    if (svc::_zemirAP_getAttrsMap(u"CN=GlobalKeys", nullptr, account.c_str(), nullptr, attrs)) {
      Trace("_zemirAP_getAttrsMap() OK . Key: %s, %s (user %s)", WideToAnsi(attrs[u"zmKeyID"]).c_str(),
            WideToAnsi(attrs[u"zmUserKeySerial"]).c_str(), WideToAnsi(attrs[u"zmUserName"]).c_str());
      return 0;
    }
    return 1;
  }

  // Modes 3 and 5: membership of the two-factor group, by account name and by full name.
  std::string group = RegText("2fa-groupname", 90);
  if (group.size() < 2) group = "Zemir";
  std::string phone;  // asked for, not used
  if (isFindUser(account.c_str(), group.c_str(), &phone)) return 0;

  USER_INFO_10 info;
  std::u16string wideAccount = AnsiToWide(account);
  if (wideAccount.size() > 190) wideAccount.resize(190);
  if (NetUserGetInfo(nullptr, wideAccount.c_str(), 10, info) == 0) {
    std::string fullName = WideToAnsi(info.usri10_full_name);
    if (fullName.size() > 190) fullName.resize(190);
    if (fullName.size() > 1 && isFindUser(fullName.c_str(), group.c_str(), nullptr)) return 0;
  }

  if (RegInt("USB_Only_login") == 5 && RegInt("USB_Only_login_WTSClose") == 1) {
    Trace("USB_Only_login_WTSClose");
    if (closeSession) *closeSession = 1;
    return 0;
  }
  return 1;
}

}  // namespace

bool OneFactorFilterAllows(const std::string& filter, const std::string& address) {
  bool allowed = !filter.empty() && Contains(address, filter);
  if (filter.find(',') == std::string::npos) return allowed;
  // Pieces from right to left; blanks are part of a piece. A piece other than the leftmost
  // that matches decides at once.
  std::string text = filter;
  for (;;) {
    auto comma = text.rfind(',');
    if (comma == std::string::npos) {
      if (!text.empty() && Contains(address, text)) allowed = true;
      return allowed;
    }
    std::string piece = text.substr(comma + 1);
    text.resize(comma);
    if (!piece.empty() && Contains(address, piece)) return true;
  }
}

std::int32_t isUserAllowedToLoginByPassw(const char* userName, std::int32_t* closeSession,
                                         const SessionInfo& session) {
  if (!userName) userName = "";
  int mode = RegInt("USB_Only_login");
  Trace("isUserAllowedToLoginByPassw usbonly:%d rdc:%d %s", mode, session.remoteSession, userName);

  switch (mode) {
    case 0:
      return 1;
    case 1: {
      std::string list = RegText("USB_Only_login_em_usr", 190);
      if (!list.empty() && Contains(list, userName)) {
        Trace("USB_Only_login_em_usr OK %s", list.c_str());
        return 1;
      }
      return 0;
    }
    case 4:
    case 5: {
      if (session.remoteSession == 0) return 1;
      std::string require2fa = RegText("RemoteIPRequire2fa", 390);
      std::string filter = RegText("USB_Only_login_rdp_lan", 390);
      if (mode == 4 && filter.empty()) return 0;
      const std::string& address = session.clientAddress;
      if (address.size() < 2) return 0;
      if (require2fa.size() > 4 && Contains(address, require2fa)) {
        Trace("RemoteIPRequire2fa %s", require2fa.c_str());
        return 0;
      }
      Trace("Allows to login for %s (mask %s)", address.c_str(), filter.c_str());
      if (OneFactorFilterAllows(filter, address)) return 1;
      if (mode == 4) return 0;
      if (!*userName) return 0;
      return KeyOrGroupDecision(3, userName, closeSession);
    }
    case 2:
    case 3:
      if (!*userName) return 0;
      return KeyOrGroupDecision(mode, userName, closeSession);
    default:
      return 0;
  }
}

}  // namespace zemir
