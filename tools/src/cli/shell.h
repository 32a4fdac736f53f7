// The shell of kavrel-cli: commands read line by line and run on one connection, with GNU
// readline (editing and history) on a terminal when it is available, plain lines otherwise.
#pragma once

#include "tools/src/cli/session.h"

namespace kavrel::cli {

// Runs the shell until quit, exit or the end of input. interactive: standard input is a
// terminal (prompts, line editing, a greeting). hex: every line as if given --hex.
// Returns 0, or kExitUnreachable when the first connection fails; without a terminal, the status
// of the last command that failed.
int run_shell(Session& session, bool interactive, bool hex);

}  // namespace kavrel::cli
