// Terminal detection for command-line tools.
#include "zemir/platform/terminal.h"

#include <unistd.h>

namespace zemir::platform {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

}  // namespace zemir::platform
