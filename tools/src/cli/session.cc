#include "tools/src/cli/session.h"

#include <algorithm>
#include <charconv>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "tools/src/cli/display.h"
#include "tools/src/cli/toon.h"

namespace kavrel::cli {
namespace {

void write(std::FILE* f, std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); }

// NAME:TYPE or NAME:TYPE? as a wire column; the name may itself hold ':' (the last one counts).
std::optional<WireColumn> parse_column(std::string_view column_arg) {
  const std::size_t colon = column_arg.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  WireColumn col;
  col.name = std::string(column_arg.substr(0, colon));
  std::string_view type = column_arg.substr(colon + 1);
  if (type.ends_with('?')) {
    col.nullable = true;
    type.remove_suffix(1);
  }
  static constexpr std::string_view kTypes[] = {"int", "uint", "float", "text", "binary", "bool"};
  for (std::size_t code = 0; code < std::size(kTypes); ++code) {
    if (type == kTypes[code]) {
      col.type = static_cast<std::uint8_t>(code);
      return col;
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_u64(const std::string& text) {
  std::uint64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

}  // namespace

Session::Session(SessionOptions options) : opt_(std::move(options)) {}

Session::~Session() {
  {
    std::scoped_lock lock(mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (keepalive_.joinable()) keepalive_.join();
}

int Session::connect() {
  std::scoped_lock lock(mu_);
  if (client_) return kExitOk;
  auto c = Client::connect(opt_.socket);
  if (!c) return report(c.error());
  client_.emplace(std::move(*c));
  last_use_ = std::chrono::steady_clock::now();
  return kExitOk;
}

void Session::start_keepalive(std::chrono::milliseconds interval) {
  keepalive_ = std::thread([this, interval] { keepalive_loop(interval); });
}

void Session::keepalive_loop(std::chrono::milliseconds interval) {
  std::unique_lock lock(mu_);
  while (!stopping_) {
    const auto due = last_use_ + interval;
    if (std::chrono::steady_clock::now() >= due) {
      if (client_) {
        // The next command reports a lost connection; nothing is printed from here.
        if (auto r = client_->ping(); !r) {
          lost_ = r.error();
          client_.reset();
        }
      }
      last_use_ = std::chrono::steady_clock::now();
      continue;
    }
    stop_cv_.wait_until(lock, due);
  }
}

int Session::run(const Invocation& inv) {
  std::scoped_lock lock(mu_);
  const int status = run_locked(inv);
  last_use_ = std::chrono::steady_clock::now();
  return status;
}

int Session::usage(const std::string& text) {
  write(opt_.err, fmt::format("error: {}\n", text));
  return kExitUsage;
}

int Session::report(const ClientError& e) {
  switch (e.kind()) {
    case ClientError::Kind::Server: write(opt_.err, e.text() + "\n"); return kExitServerError;
    case ClientError::Kind::Protocol:
      write(opt_.err, fmt::format("error: unexpected answer from the server: {}\n", e.text()));
      return kExitServerError;
    case ClientError::Kind::Connect:
      write(opt_.err,
            fmt::format("error: cannot reach the server at {}: {} (is kavrel-server running? "
                        "start it with `make run`)\n",
                        debug_quote(opt_.socket), e.text()));
      return kExitUnreachable;
    case ClientError::Kind::Io: break;
  }
  write(opt_.err, fmt::format("error: lost the connection to the server at {}: {}\n",
                              debug_quote(opt_.socket), e.text()));
  client_.reset();
  if (!handles_.empty()) {
    write(opt_.err, "the open transaction handles ended with the connection\n");
    handles_.clear();
  }
  return kExitUnreachable;
}

void Session::print_value(BytesView value, bool hex) {
  if (hex) {
    write(opt_.out, to_hex(value) + "\n");
  } else if (opt_.stdout_tty) {
    write(opt_.out, (value.empty() ? std::string("(empty)") : display_bytes(value)) + "\n");
  } else {
    write(opt_.out, value);
    write(opt_.out, "\n");
  }
}

int Session::run_locked(const Invocation& inv) {
  const std::string& cmd = inv.command;
  // Value arguments are resolved before connecting, so a bad one costs no round trip.
  std::optional<Bytes> value;
  const std::string* value_arg = cmd == "put"        ? &inv.args[1]
                                 : cmd == "put-path" ? &*inv.path_value
                                                     : nullptr;
  if (value_arg != nullptr) {
    if (opt_.in_shell && *value_arg == "-") {
      return usage("the shell reads commands from standard input; give the value or @FILE");
    }
    auto v = resolve_value(*value_arg, inv.hex, opt_.in);
    if (!v) return usage(v.error());
    value = std::move(*v);
  }
  if (!opt_.in_shell && (cmd == "begin" || cmd == "commit" || cmd == "abort")) {
    return usage(fmt::format(
        "{} needs the connection of the shell (run kavrel-cli without a command): a handle "
        "ends with the connection that began it",
        cmd));
  }
  if (cmd == "register") {
    for (std::size_t i = 1; i < inv.args.size(); ++i) {
      if (!parse_column(inv.args[i])) {
        return usage(fmt::format(
            "invalid column '{}': expected NAME:TYPE or NAME:TYPE? with TYPE one of int, "
            "uint, float, text, binary, bool",
            inv.args[i]));
      }
    }
  }
  if (lost_) {
    report(*lost_);  // prints what happened and forgets the handles; the command goes on
    lost_.reset();
  }
  if (!client_) {
    if (opt_.in_shell) write(opt_.err, "connecting again...\n");
    auto c = Client::connect(opt_.socket);
    if (!c) return report(c.error());
    client_.emplace(std::move(*c));
  }

  if (cmd == "ping") {
    if (auto r = client_->ping(); !r) return report(r.error());
    write(opt_.out, "PONG\n");
    return kExitOk;
  }
  if (cmd == "put") {
    if (auto r = client_->put(inv.args[0], *value); !r) return report(r.error());
    write(opt_.out, "OK\n");
    return kExitOk;
  }
  if (cmd == "get") {
    auto r = client_->get(inv.args[0]);
    if (!r) return report(r.error());
    print_value(*r, inv.hex);
    return kExitOk;
  }
  if (cmd == "del") {
    if (auto r = client_->del(inv.args[0]); !r) return report(r.error());
    write(opt_.out, "OK\n");
    return kExitOk;
  }
  if (cmd == "put-path") {
    if (auto r = client_->put_path(inv.args, *value); !r) return report(r.error());
    write(opt_.out, "OK\n");
    return kExitOk;
  }
  if (cmd == "get-path") {
    auto r = client_->get_path(inv.args);
    if (!r) return report(r.error());
    print_value(*r, inv.hex);
    return kExitOk;
  }
  if (cmd == "checkpoint") {
    if (auto r = client_->checkpoint(); !r) return report(r.error());
    write(opt_.out, "OK\n");
    return kExitOk;
  }
  if (cmd == "scan") return cmd_scan(inv);
  if (cmd == "register") return cmd_register(inv);
  if (cmd == "query") return cmd_query(inv);
  if (cmd == "stats") return cmd_stats(inv);
  if (cmd == "sql") return cmd_sql(inv);
  if (cmd == "begin") return cmd_begin();
  if (cmd == "commit") return cmd_end(inv, true);
  if (cmd == "abort") return cmd_end(inv, false);
  return usage(fmt::format("unknown command '{}'", cmd));
}

int Session::cmd_scan(const Invocation& inv) {
  auto r = client_->scan(inv.args[0]);
  if (!r) return report(r.error());
  std::string out;
  for (const auto& [key, value] : *r) {
    // One entry a line, whatever the output: keys and values that could break the line (or the
    // terminal) are escaped.
    out += display_bytes(key);
    out += '\t';
    out += inv.hex ? to_hex(value) : display_bytes(value);
    out += '\n';
  }
  write(opt_.out, out);
  return kExitOk;
}

int Session::cmd_register(const Invocation& inv) {
  std::vector<WireColumn> columns;
  for (std::size_t i = 1; i < inv.args.size(); ++i) columns.push_back(*parse_column(inv.args[i]));
  if (auto r = client_->register_table(inv.args[0], columns); !r) return report(r.error());
  write(opt_.out, "OK\n");
  return kExitOk;
}

int Session::cmd_query(const Invocation& inv) {
  auto r = client_->query(inv.args[0], inv.limit, inv.offset, inv.columns);
  if (!r) return report(r.error());
  if (inv.raw) {
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  const auto table = parse_toon(*r);
  if (!table) {
    // Shown as it came rather than guessed at.
    write(opt_.err, "note: the answer could not be read as a table; shown as sent\n");
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  write(opt_.out, render_table(*table));
  return kExitOk;
}

int Session::cmd_stats(const Invocation& inv) {
  auto r = client_->stats();
  if (!r) return report(r.error());
  if (inv.json) {
    write(opt_.out, *r + "\n");
    return kExitOk;
  }
  try {
    write(opt_.out, nlohmann::ordered_json::parse(*r).dump(2) + "\n");
  } catch (const nlohmann::json::exception&) {
    write(opt_.out, *r + "\n");
  }
  return kExitOk;
}

int Session::cmd_sql(const Invocation& inv) {
  std::string text;
  for (const auto& w : inv.args) {
    if (!text.empty()) text += ' ';
    text += w;
  }
  auto r = client_->execute_sql(text);
  if (!r) return report(r.error());
  std::optional<std::string> refusal;
  std::string pretty = *r;
  try {
    const auto j = nlohmann::ordered_json::parse(*r);
    if (j.is_object() && j.contains("error") && j["error"].is_string()) {
      refusal = j["error"].get<std::string>();
    }
    pretty = j.dump(2);
  } catch (const nlohmann::json::exception&) {
    pretty = *r;  // not JSON: shown as the server sent it
  }
  if (inv.json) {
    write(opt_.out, *r + "\n");
  } else if (refusal) {
    write(opt_.err, *refusal + "\n");
  } else {
    write(opt_.out, pretty + "\n");
  }
  return refusal ? kExitServerError : kExitOk;
}

int Session::cmd_begin() {
  auto r = client_->begin();
  if (!r) return report(r.error());
  handles_.push_back(*r);
  write(opt_.out, fmt::format("handle {}\n", *r));
  return kExitOk;
}

int Session::cmd_end(const Invocation& inv, bool commit) {
  std::uint64_t handle = 0;
  if (inv.args.empty()) {
    if (handles_.empty()) return usage("no open transaction: begin one first, or name a handle");
    handle = handles_.back();
  } else {
    const auto h = parse_u64(inv.args[0]);
    if (!h) return usage(fmt::format("invalid handle '{}': expected a whole number", inv.args[0]));
    handle = *h;
  }
  // The server forgets the handle whatever the outcome, so the shell does too.
  std::erase(handles_, handle);
  if (commit) {
    auto r = client_->commit(handle);
    if (!r) return report(r.error());
    write(opt_.out, fmt::format("committed handle {} at timestamp {}\n", handle, *r));
  } else {
    if (auto r = client_->abort(handle); !r) return report(r.error());
    write(opt_.out, fmt::format("aborted handle {}\n", handle));
  }
  return kExitOk;
}

}  // namespace kavrel::cli
