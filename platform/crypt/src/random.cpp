// Random bytes through getrandom, retried on interruption and short reads.
#include "zemir/platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace zemir::platform {

bool GenRandom(BYTE* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(buf + done, len - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace zemir::platform
