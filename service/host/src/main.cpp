// Zemir RPC Service: the command line hands over to the service frame.
#include "zemir/service/ntserv.h"

int main(int argc, char** argv) {
  zemir::CNtserv service;
  return service.ParseCommandLine(argc, argv);
}
