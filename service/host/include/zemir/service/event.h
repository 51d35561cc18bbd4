// A manual-reset event: stays signalled until reset; waiters wake when it is set.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "zemir/platform/win32.h"

namespace zemir {

class ManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard lk(mu_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard lk(mu_);
    set_ = false;
  }
  bool IsSet() const {
    std::lock_guard lk(mu_);
    return set_;
  }
  // True when the event is (or becomes) signalled within `ms` milliseconds.
  bool Wait(DWORD ms) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return set_; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace zemir
