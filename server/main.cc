// kavrel-server: parses its command line, installs the logger, opens the database directory and
// serves it (on its Unix socket, and on TCP when asked) until SIGINT or SIGTERM.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "server/args.h"
#include "server/interrupt.h"
#include "server/ipc_server.h"
#include "server/tls.h"
#include "storage/database.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/io/fs_util.h"
#include "storage/key_file.h"

namespace {
constexpr const char* kTarget = "kavrel_server";
// Exit status of the fatal stops (directory creation, interrupt handling).
// Every fatal start-up failure.
constexpr int kFatalStatus = 1;

// --rotate-key-file: re-wraps the data key under the new file's key, says so in one line and
// ends without serving.
int rotate_key(const kavrel::server::Args& args, const kavrel::StorageEncryption& current) {
  using namespace kavrel;
  if (!current.key) {
    log::error(kTarget,
               "Failed to rotate the key: --rotate-key-file needs the current key (give "
               "--key-file FILE or set {})",
               kKeyEnvVar);
    return kFatalStatus;
  }
  auto next = read_key_file(*args.rotate_key_file);
  if (!next) {
    log::error(kTarget, "Failed to rotate the key: {}", next.error());
    return kFatalStatus;
  }
  const std::string db = debug_quote(args.db.string());
  if (auto r = Database::rotate_key(args.db, *current.key, *next, kKeyFileSource); !r) {
    log::error(kTarget, "Failed to rotate the key of {}: {}", db, r.error().message());
    return kFatalStatus;
  }
  log::info(kTarget,
            "Rotated the key of {}: its data key is now wrapped under the key of {}; no data "
            "was rewritten",
            db, debug_quote(args.rotate_key_file->string()));
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  using namespace kavrel;
  auto parsed = server::parse_args(std::vector<std::string>(argv, argv + argc));
  std::fputs(parsed.out.c_str(), stdout);
  std::fputs(parsed.err.c_str(), stderr);
  if (!parsed.args) return parsed.exit_status;
  const server::Args& args = *parsed.args;

  log::install(args.level(), log::color_from_env());
  // A closed pipe on standard output or error (the log's reader went away) must not end the
  // server; sockets are written with MSG_NOSIGNAL already.
  std::signal(SIGPIPE, SIG_IGN);
  const std::filesystem::path socket_path = args.socket_path();

  // First of all, so that the key leaves the environment at once.
  auto encryption = key_from(args.key_file, KeyVariable::Remove);
  if (!encryption) {
    log::error(kTarget, "Failed to load the encryption key: {}", encryption.error());
    return kFatalStatus;
  }
  if (args.rotate_key_file) return rotate_key(args, *encryption);
  if (args.encrypt && !encryption->key) {
    log::error(kTarget, "--encrypt needs a key: give --key-file FILE or set {}", kKeyEnvVar);
    return kFatalStatus;
  }

  // A key that cannot open the database's keyring (or no key for one) is refused before anything
  // in the directory is touched: the open would take the directory lock first.
  if (auto r = keyring::check_existing(args.db, encryption->key); !r) {
    log::error(kTarget, "Failed to open database: {}", r.error().message());
    return kFatalStatus;
  }

  std::error_code ec;
  if (!std::filesystem::exists(args.db, ec)) {
    // Private from the start: mode 0700 whatever the umask.
    if (auto r = create_dir_all(args.db); !r) {
      std::fprintf(stderr, "Failed to create database directory: %s\n",
                   os_error_text(r.error().os_error()).c_str());
      return kFatalStatus;
    }
  }
  log::info(kTarget, "Starting Kavrel server: db={}, socket={}", debug_quote(args.db.string()),
            debug_quote(socket_path.string()));

  // With a key, a new database is created encrypted and an encrypted one opened; a plaintext
  // database with data is refused (the keyring's refusal). Without one, a database with a
  // keyring is refused.
  auto db = Database::open(args.db, *encryption);
  if (!db) {
    log::error(kTarget, "Failed to open database: {}", db.error().message());
    return 1;
  }
  if ((*db)->storage().encrypted()) {
    log::info(kTarget, "The database is encrypted at rest (key from {})",
              args.key_file ? "--key-file" : kKeyEnvVar);
  } else if (args.encrypt) {
    // Only a keyring that says "not encrypted" gets here: a key for a plaintext database with
    // data is refused by the open itself.
    log::error(kTarget,
               "Failed to open database: --encrypt was given but its keyring says the database is "
               "not encrypted; refusing to serve it");
    return kFatalStatus;
  }
  (*db)->set_compact_log_bytes(args.compact_log_mib << 20);
  ConnectionLoops::Options options;
  options.receive_timeout = std::chrono::milliseconds(args.timeout_ms);
  ListenOptions tcp{args.listen, nullptr, args.unix_auth};
  if (args.tls_cert) {
    auto tls = TlsContext::load(
        TlsFiles{*args.tls_cert, *args.tls_key, args.tls_ca, args.require_client_cert});
    if (!tls) {
      log::error(kTarget, "Failed to set up TLS: {}", tls.error());
      return kFatalStatus;
    }
    tcp.tls = *tls;
    // A renewed certificate is taken without a restart: new connections use it.
    if (std::string err = server::install_reload_handler([tls = *tls] {
          if (auto r = tls->reload(); !r) {
            log::warn(kTarget, "Failed to reload the TLS certificate, keeping the current one: {}",
                      r.error());
          } else {
            log::info(kTarget, "Reloaded the TLS certificate and key");
          }
        });
        !err.empty()) {
      std::fprintf(stderr, "Error setting the reload handler: %s\n", err.c_str());
      return kFatalStatus;
    }
  }
  auto listener = std::make_unique<IpcServer>(socket_path, args.max_clients, std::move(*db),
                                              options, std::move(tcp));

  if (std::string err = server::install_interrupt_handler(socket_path); !err.empty()) {
    std::fprintf(stderr, "Error setting Ctrl-C handler: %s\n", err.c_str());
    listener.reset();  // releases the listener, then the database and its storage
    return kFatalStatus;
  }
  log::info(kTarget, "Kavrel server ready, accepting connections");
  if (auto r = listener->run(); !r) {
    log::error(kTarget, "Server error: {}", r.error().message());
    std::fflush(stdout);
    std::_Exit(1);  // without releasing the storage first
  }
  listener.reset();
  return 0;
}
