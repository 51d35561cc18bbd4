// CNtserv: the Zemir RPC service's events, state changes and body.
#include "zemir/service/ntserv.h"

#include <filesystem>
#include <string>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/platform/prefix.h"

namespace zemir {

namespace {

// The system's safe-boot indicator (the clean-boot metric): this platform has no safe mode.
constexpr DWORD kSafeBootIndicator = 0;
constexpr DWORD kStopWaitSliceMs = 2500;

}  // namespace

CNtserv::CNtserv() : CNTService(kRpcServiceName, kRpcServiceDisplayName) {
  controlsAccepted_ = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  GetTraceMaker().SetVariant(TraceVariant::Service);
  std::string folder = ReadRegString(kProductKey, "ZemirPath");
  std::string log = folder.empty() ? std::string("c:\\zemir_rpc_serv1.log") : folder + "rpc_serv.log";
  // A fresh prefix may not have its drive C: folder yet; the log would be lost without it.
  std::error_code ec;
  std::filesystem::create_directories(platform::DriveC(), ec);
  GetTraceMaker().Open(log.c_str(), 900);
}

void CNtserv::Run(DWORD, char**) {
  SetStatus(SERVICE_START_PENDING, 3000);
  TraceCode("Serv start... -------------", kSafeBootIndicator);
  SetStatus(SERVICE_RUNNING, 3000);
  if (hooks_.start) hooks_.start();
  TraceCode("Running...", 1);
  while (!stop_.Wait(kStopWaitSliceMs)) {
  }
  TraceCode("Service Exit", 1);
  if (hooks_.stop) hooks_.stop();
}

void CNtserv::Stop() {
  SetStatus(SERVICE_STOP_PENDING, 5000);
  stop_.Set();
}

void CNtserv::Pause() {
  SetStatus(SERVICE_PAUSE_PENDING, 3000);
  pause_.Set();
  SetStatus(SERVICE_PAUSED, 3000);
}

void CNtserv::Continue() {
  SetStatus(SERVICE_CONTINUE_PENDING, 3000);
  continue_.Set();
  SetStatus(SERVICE_RUNNING, 3000);
}

void CNtserv::Shutdown() { stop_.Set(); }

}  // namespace zemir
