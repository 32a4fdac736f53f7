#include "server/args.h"

#include <charconv>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace kavrel::server {

std::filesystem::path Args::socket_path() const { return socket ? *socket : db / "kavrel.sock"; }

ParseOutcome parse_args(const std::vector<std::string>& argv) {
  Args args;
  CLI::App app{
      "Kavrel command-line tools for bulk operations, ETL, IPC server, and index management",
      "kavrel-server"};
  app.set_version_flag("-V,--version", fmt::format("kavrel-server {}", kVersion));
  std::string db = args.db.string();
  std::string socket;
  app.add_option("-d,--db", db, "Path to the database directory")
      ->type_name("DB")
      ->default_str("./kavrel_data");
  auto* socket_opt =
      app.add_option("-s,--socket", socket, "Path to the Unix socket (default: <db>/kavrel.sock)")
          ->type_name("SOCKET");
  std::string max_clients = "100", timeout_ms = "30000", compact_log_mib = "64";
  app.add_option("--max-clients", max_clients, "Maximum number of client connections")
      ->type_name("MAX_CLIENTS")
      ->default_str("100");
  app.add_option("--timeout-ms", timeout_ms,
                 "Close a connection that sends nothing for this many milliseconds; 0: never")
      ->type_name("TIMEOUT_MS")
      ->default_str("30000");
  app.add_option("--compact-log-mib", compact_log_mib,
                 "Compact once the log passes N MiB (and has grown by the snapshot's size); 0: "
                 "never by itself")
      ->type_name("N")
      ->default_str("64");
  app.add_option("--log-level", args.log_level, "Log level (trace, debug, info, warn, error)")
      ->type_name("LOG_LEVEL")
      ->default_str("info");
  std::string key_file, rotate_key_file;
  auto* key_file_opt =
      app.add_option("--key-file", key_file,
                     "File holding the encryption key (32 raw bytes or 64 hex characters; "
                     "mode 600 or stricter); or set KAVREL_ENCRYPTION_KEY")
          ->type_name("FILE");
  auto* encrypt_flag =
      app.add_flag("--encrypt", args.encrypt,
                   "Create a new database encrypted; refuse a database that is not (needs a key)");
  auto* rotate_opt =
      app.add_option("--rotate-key-file", rotate_key_file,
                     "Re-wrap the data key under the key in FILE (the current key from "
                     "--key-file or KAVREL_ENCRYPTION_KEY), then exit without serving")
          ->type_name("FILE");
  rotate_opt->excludes(encrypt_flag);
  app.add_option("--listen", args.listen,
                 "Also serve TCP on HOST:PORT (repeatable; an IPv6 host in brackets); needs "
                 "--tls-cert and --tls-key, or --insecure-tcp on a loopback address")
      ->type_name("HOST:PORT");
  std::string tls_cert, tls_key, tls_ca, client_cert = "request";
  auto* cert_opt = app.add_option("--tls-cert", tls_cert,
                                  "PEM file with the server's certificate (and its chain) for TCP")
                       ->type_name("FILE");
  auto* key_opt =
      app.add_option("--tls-key", tls_key, "PEM file with the private key of --tls-cert")
          ->type_name("FILE");
  auto* ca_opt = app.add_option("--tls-ca", tls_ca,
                                "PEM file with the CAs that client certificates are checked by")
                     ->type_name("FILE");
  auto* client_cert_opt =
      app.add_option("--tls-client-cert", client_cert,
                     "With --tls-ca: request (check a client certificate when one is given) or "
                     "require (refuse clients without one)")
          ->type_name("MODE")
          ->check(CLI::IsMember({"request", "require"}))
          ->default_str("request");
  auto* insecure_opt =
      app.add_flag("--insecure-tcp", args.insecure_tcp,
                   "Serve --listen without TLS (loopback addresses only; for tests and tunnels)");
  app.add_flag("--unix-auth", args.unix_auth,
               "Connections on the Unix socket must log in too (as TCP ones always must)");
  cert_opt->needs(key_opt);
  key_opt->needs(cert_opt);
  ca_opt->needs(cert_opt);
  client_cert_opt->needs(ca_opt);
  insecure_opt->excludes(cert_opt);

  // Unsigned options are checked here rather than by the parser, which would wrap "-1".
  // One leading "+" is accepted, as unsigned decimal parsing usually does.
  const auto check_u64 = [](const std::string& text, const char* name, std::uint64_t& out) {
    const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(begin, end, out);
    if (begin == end || ec != std::errc() || ptr != end) {
      throw CLI::ConversionError(
          fmt::format("invalid value '{}' for '{}': expected an unsigned integer", text, name));
    }
  };

  std::vector<std::string> rev(argv.rbegin(), argv.rend());
  if (!rev.empty()) rev.pop_back();  // the program name
  ParseOutcome outcome;
  try {
    app.parse(rev);
    check_u64(max_clients, "--max-clients <MAX_CLIENTS>", args.max_clients);
    check_u64(timeout_ms, "--timeout-ms <TIMEOUT_MS>", args.timeout_ms);
    if (args.timeout_ms > kMaxTimeoutMs) {
      throw CLI::ValidationError("--timeout-ms",
                                 fmt::format("too large (at most {})", kMaxTimeoutMs));
    }
    if (!args.listen.empty() && cert_opt->count() == 0 && !args.insecure_tcp) {
      throw CLI::ValidationError("--listen",
                                 "needs --tls-cert and --tls-key (or --insecure-tcp for plain TCP "
                                 "on a loopback address)");
    }
    check_u64(compact_log_mib, "--compact-log-mib <N>", args.compact_log_mib);
    if (args.compact_log_mib > (std::uint64_t{1} << 40)) {
      throw CLI::ValidationError("--compact-log-mib", "too large (at most 1099511627776)");
    }
  } catch (const CLI::CallForHelp&) {
    outcome.out = app.help();
    return outcome;
  } catch (const CLI::CallForVersion& e) {
    outcome.out = std::string(e.what()) + "\n";
    return outcome;
  } catch (const CLI::ParseError& e) {
    outcome.exit_status = 2;
    outcome.err = fmt::format(
        "error: {}\n\nUsage: kavrel-server [OPTIONS]\n\nFor more information, try '--help'.\n",
        e.what());
    return outcome;
  }
  args.db = db;
  if (socket_opt->count() > 0) args.socket = socket;
  if (key_file_opt->count() > 0) args.key_file = key_file;
  if (rotate_opt->count() > 0) args.rotate_key_file = rotate_key_file;
  if (cert_opt->count() > 0) args.tls_cert = tls_cert;
  if (key_opt->count() > 0) args.tls_key = tls_key;
  if (ca_opt->count() > 0) args.tls_ca = tls_ca;
  args.require_client_cert = client_cert == "require";
  outcome.args = std::move(args);
  return outcome;
}

}  // namespace kavrel::server
