// Zemir RPC Service: the command line hands over to the service frame; while the service
// runs, the RPC key server serves the key interface.
#include "zemir/service/keyserver.h"
#include "zemir/service/ntserv.h"

int main(int argc, char** argv) {
  zemir::CNtserv service;
  zemir::CKeyServer server;
  service.SetServerHooks({[&server] { server.Start(); }, [&server] { server.Stop(); }});
  return service.ParseCommandLine(argc, argv);
}
