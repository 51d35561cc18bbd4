// The Zemir RPC service: the frame's service with its stop, pause and continue events.
#pragma once
#include <functional>

#include "zemir/service/event.h"
#include "zemir/service/ntservice.h"

namespace zemir {

inline constexpr const char* kRpcServiceName = "Zemir RPC";
inline constexpr const char* kRpcServiceDisplayName = "Zemir RPC server";

// The work the service does while it runs: `start` once the running state is reported (the
// RPC key server registers and starts listening there), `stop` after the stop event fired
// (it stops listening there). Either may be empty.
struct ServerHooks {
  std::function<void()> start;
  std::function<void()> stop;
};

class CNtserv : public CNTService {
 public:
  // Opens the service's diagnostic log: ZemirPath + "rpc_serv.log", else
  // "c:\zemir_rpc_serv1.log", 900 KB.
  CNtserv();

  // Reports running, runs the server's start hook, waits for the stop event, runs the stop hook.
  void Run(DWORD argc, char** argv) override;
  void Stop() override;
  void Pause() override;
  void Continue() override;
  void Shutdown() override;
  BOOL OnUserControl(DWORD control) override { return 1; }

  void SetServerHooks(ServerHooks hooks) { hooks_ = std::move(hooks); }

  // Nothing waits on pause and continue: they only change the reported state.
  ManualResetEvent& stopEvent() { return stop_; }
  ManualResetEvent& pauseEvent() { return pause_; }
  ManualResetEvent& continueEvent() { return continue_; }

 private:
  // The events exist, unsignalled, from construction, so that a stop request that arrives
  // while the service is still starting is not lost.
  ManualResetEvent stop_, pause_, continue_;
  ServerHooks hooks_;
};

}  // namespace zemir
