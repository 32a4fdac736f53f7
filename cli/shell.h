// The shell of kavrel-cli: commands read line by line and run on one connection, with GNU
// readline (editing, history, Tab completion of command names) on a terminal when it is
// available, plain lines otherwise.
#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/session.h"

namespace kavrel::cli {

struct ShellOptions {
  bool interactive = false;    // a terminal: prompts, line editing, a greeting, Ctrl-C handling
  bool hex = false;            // every line as if given --hex
  bool bail = false;           // without a terminal: stop at the first failing line
  std::istream* in = nullptr;  // the lines without a terminal (default: standard input)
};

// Runs the shell until quit, exit or the end of input. Returns 0, or kExitUnreachable when the
// first connection fails. Without a terminal every error names its line ("error: line N: ...");
// the status is that of the last line that failed, or with bail 1 at the first failing line
// (kExitUnreachable when the server cannot be reached).
int run_shell(Session& session, const ShellOptions& options);

// The command names that start with text, in any case, for completion.
std::vector<std::string> complete_command(std::string_view text);

// The completions of the word text that starts after before (the line up to it): command names
// for the first word, the names of tables (asked for only then) that start with text in any
// case for the word after query, describe, insert or drop; nullopt elsewhere (file names).
std::optional<std::vector<std::string>> complete_word(
    std::string_view before, std::string_view text,
    const std::function<std::vector<std::string>()>& tables);

}  // namespace kavrel::cli
