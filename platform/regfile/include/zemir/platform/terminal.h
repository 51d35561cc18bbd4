// Whether the process talks to a person: command-line tools ask before destroying data only then.
#pragma once

namespace zemir::platform {

// True when standard input is a terminal.
bool StdinIsTerminal();

}  // namespace zemir::platform
