// Writes and looks up the directory records the service's one-time-password check reads, in
// the prefix named by ZEMIR_PREFIX, for the service's end-to-end tests:
//   zemir_e2e_dirseed key USER KEYID SERIAL TYPE   a key record in CN=GlobalKeys
//   zemir_e2e_dirseed otp USER KEYID PASSWORD      a pending "OTP-Auth" request in CN=SelfEnrolls
//   zemir_e2e_dirseed has-otp USER                 exit 0 while the user's request exists, 3 when not
// Exit 1 on a usage error, 2 when the adapter or a write fails.
#include <cstdio>
#include <cstring>
#include <string>

#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/directory/records.h"
#include "zemir/platform/codepage.h"

namespace {

using zemir::AnsiToWide;

int Usage() {
  std::fprintf(stderr,
               "usage: zemir_e2e_dirseed key USER KEYID SERIAL TYPE | otp USER KEYID PASSWORD | has-otp USER\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  if (!zemir::load_APLib()) {
    std::fprintf(stderr, "zemir_e2e_dirseed: the directory adapter does not load\n");
    return 2;
  }
  if (command == "key" && argc == 6) {
    std::u16string id = AnsiToWide(argv[3]);
    bool ok = zemir::_zemirAP_addRecord(zemir::kGlobalKeys, id, u"zmGlobalKey",
                                        {{u"zmKeyID", id},
                                         {u"zmUserName", AnsiToWide(argv[2])},
                                         {u"zmUserKeySerial", AnsiToWide(argv[4])},
                                         {u"zmKeyType", AnsiToWide(argv[5])}});
    return ok ? 0 : 2;
  }
  if (command == "otp" && argc == 5) {
    std::u16string id = AnsiToWide(argv[3]);
    bool ok = zemir::_zemirAP_addRecord(zemir::kSelfEnrolls, id, u"zmSelfEnroll",
                                        {{u"zmKeyID", id},
                                         {u"zmUserName", AnsiToWide(argv[2])},
                                         {u"zmSignalType", u"OTP-Auth"},
                                         {u"zmUserAuthData", AnsiToWide(argv[4])}});
    return ok ? 0 : 2;
  }
  if (command == "has-otp" && argc == 3) {
    zemir::AttrMap attrs{{u"zmKeyID", u""}, {u"zmUserName", u""}, {u"zmUserAuthData", u""}};
    return zemir::svc::_zemirAP_findSelfEnrolls(zemir::kSelfEnrolls, attrs, argv[2], "OTP-Auth") ? 0 : 3;
  }
  return Usage();
}
