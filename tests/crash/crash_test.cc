// kavrel_crash_test: kills the real server with SIGKILL at random moments while several writers
// put and delete keys, restarts it on the same directory and checks that every acknowledged
// operation survived and that nothing else appeared.
//
// Model. Every key belongs to exactly one writer, and a writer has at most one request in flight,
// so the set of states a key may legitimately be in after a restart is exact: the state of its
// last acknowledged operation, or the state its in-flight operation (sent, not answered when the
// server died) would have produced. A value is "<key>#<sequence>#<padding>" and is never empty,
// so an empty GET answer means absent; SCAN tells absent keys from present ones on its own and
// must agree with GET. After each restart the observed state becomes the new acknowledged state.
//
// Compaction runs under the kills too: the server compacts by itself once the log passes
// --compact-log-mib (default 1, 0 turns it off), and one writer asks for COMPACT now and then, so
// kills land during compactions and during start-ups that load a snapshot. Another writer
// registers a table now and then, between and during compactions: after a restart every
// acknowledged table is listed, the one in flight may be, and nothing else. No temporary file of
// an interrupted compaction is left once the server has started.
//
// Usage: kavrel_crash_test [--rounds=N] [--seed=N] [--writers=N] [--keys=N] [--min-ms=N]
//                          [--max-ms=N] [--rounds-per-dir=N] [--compact-log-mib=N]
//                          [--cut-tail=BYTES] [--verbose]
// Prints one summary line and exits 0 when nothing was lost, resurrected or invented.
// --cut-tail=BYTES checks the checker: it cuts that many bytes off the log after every kill,
// which destroys acknowledged commits, so the run must then report losses and fail.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::crash {
namespace {

using testing::ServerProcess;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kPrefix = "cr/";
// The writer that registers tables; writer 0 asks for the checkpoints and compactions.
constexpr std::size_t kRegistrar = 1;

struct Options {
  int rounds = 20;
  std::uint64_t seed = 0;  // 0: from the clock
  int writers = 8;
  int keys = 32;  // per writer
  int min_ms = 20;
  int max_ms = 400;
  int rounds_per_dir = 100;  // a fresh directory after this many rounds bounds the log's size
  std::uint64_t compact_log_mib = 1;
  std::uint64_t cut_tail = 0;
  bool verbose = false;
};

// What a key holds: a value, or nothing (never written or deleted).
using State = std::optional<std::string>;

struct KeyModel {
  std::string key;
  State acked;             // the state of the last acknowledged operation
  bool in_flight = false;  // an operation was sent and not answered
  State in_flight_state;   // what that operation would have left
};

struct Totals {
  std::uint64_t acknowledged = 0;    // PUTs and DELETEs answered OK
  std::uint64_t checkpoints = 0;     // CHECKPOINTs answered OK
  std::uint64_t compactions = 0;     // compactions the server logged as done
  std::uint64_t snapshot_loads = 0;  // start-ups that loaded a snapshot
  std::uint64_t keys_checked = 0;    // key states compared after restarts
  std::uint64_t in_flight_seen = 0;  // in-flight operations found applied
  std::uint64_t lost = 0;
  std::uint64_t resurrected = 0;
  std::uint64_t invented = 0;       // keys or values nobody wrote
  std::uint64_t server_errors = 0;  // ERROR answers (none are expected)
  std::uint64_t early_kills = 0;    // kills during start-up or replay
  std::uint64_t tails_moved = 0;    // damaged log tails moved aside at open
  std::uint64_t tables = 0;         // table registrations acknowledged
  std::uint64_t temps_removed = 0;  // start-ups that removed an interrupted write's files
  std::uint64_t failures = 0;       // anything else that went wrong (start, connect...)
};

std::string make_value(const std::string& key, std::uint64_t seq) {
  std::string v = key + "#" + std::to_string(seq) + "#";
  // Mostly short values; now and then one larger than the log's 256 KiB write buffer, which is
  // written straight through.
  std::size_t pad = (seq * 2654435761u) % 120;
  if (seq % 1009 == 0) pad = 270'000 + seq % 1000;
  v.reserve(v.size() + pad);
  for (std::size_t i = 0; i < pad; ++i) v.push_back(static_cast<char>('a' + (seq + i) % 26));
  return v;
}

std::string describe(const State& s) {
  if (!s) return "<absent>";
  if (s->size() > 60)
    return "\"" + s->substr(0, 60) + "...\" (" + std::to_string(s->size()) + " B)";
  return "\"" + *s + "\"";
}

// Whether v is a value some writer could have produced for key.
bool well_formed(const std::string& key, const std::string& v) {
  if (v.size() < key.size() + 3 || v.compare(0, key.size(), key) != 0 || v[key.size()] != '#') {
    return false;
  }
  const std::size_t end = v.find('#', key.size() + 1);
  if (end == std::string::npos) return false;
  std::uint64_t seq = 0;
  const auto [p, ec] = std::from_chars(v.data() + key.size() + 1, v.data() + end, seq);
  return ec == std::errc() && p == v.data() + end && make_value(key, seq) == v;
}

class Writer {
 public:
  Writer(int id, int keys, std::uint64_t seed) : id_(id), rng_(seed) {
    for (int k = 0; k < keys; ++k) {
      char name[64];
      std::snprintf(name, sizeof name, "%.*sw%d/k%03d", static_cast<int>(kPrefix.size()),
                    kPrefix.data(), id, k);
      keys_.push_back(KeyModel{name, std::nullopt, false, std::nullopt});
    }
  }

  // Sends operations until the connection fails (the server was killed) or stop is set.
  void run(const std::filesystem::path& socket, const std::atomic<bool>& stop) {
    acknowledged_ = checkpoints_ = errors_ = 0;
    auto client = Client::connect(socket, std::chrono::seconds(20));
    if (!client) return;  // killed before we got in
    std::uniform_int_distribution<std::size_t> pick(0, keys_.size() - 1);
    std::uniform_int_distribution<int> op(0, 999);
    while (!stop.load(std::memory_order_relaxed)) {
      const int roll = op(rng_);
      if (roll < 30 && id_ == 0) {  // now and then a checkpoint or a compaction between writes
        auto r = roll < 3 ? client->checkpoint() : client->compact();
        if (r) {
          if (roll < 3) ++checkpoints_;
          continue;
        }
        if (!r.error().is_server_error()) return;
        note_error(r.error().text());
        continue;
      }
      if (roll < 50 && id_ == static_cast<int>(kRegistrar)) {  // a table registration
        table_in_flight_ = "cr_t" + std::to_string(next_table_++);
        auto r = client->register_table(*table_in_flight_, {{"id", 0, false}});
        if (r) {
          tables_acked_.insert(*std::exchange(table_in_flight_, std::nullopt));
          ++tables_;
          continue;
        }
        if (!r.error().is_server_error()) return;
        table_in_flight_.reset();
        note_error(r.error().text());
        continue;
      }
      KeyModel& k = keys_[pick(rng_)];
      const bool put = roll < 700 || !k.acked;  // deletes only of present keys
      k.in_flight = true;
      k.in_flight_state = put ? State(make_value(k.key, ++seq_)) : State();
      auto r = put ? client->put(k.key, *k.in_flight_state) : client->del(k.key);
      if (r) {
        k.acked = std::move(k.in_flight_state);
        k.in_flight = false;
        ++acknowledged_;
        continue;
      }
      if (!r.error().is_server_error()) return;  // the connection died: stays in flight
      // An ERROR answer means the operation did not take effect.
      k.in_flight = false;
      note_error(r.error().text());
    }
  }

  std::vector<KeyModel>& keys() { return keys_; }
  // Compares the tables a restarted server lists with the acknowledged ones and adopts them:
  // the text of each difference, none when they agree.
  std::vector<std::string> adopt_tables(const std::set<std::string>& listed) {
    std::vector<std::string> out;
    for (const std::string& t : tables_acked_) {
      if (!listed.contains(t)) out.push_back("acknowledged table " + t + " is not listed");
    }
    for (const std::string& t : listed) {
      if (!tables_acked_.contains(t) && t != table_in_flight_) {
        out.push_back("table " + t + " was never registered");
      }
    }
    table_in_flight_.reset();
    tables_acked_ = listed;
    return out;
  }
  [[nodiscard]] std::uint64_t acknowledged() const { return acknowledged_; }
  [[nodiscard]] std::uint64_t tables() const { return tables_; }
  [[nodiscard]] std::uint64_t checkpoints() const { return checkpoints_; }
  [[nodiscard]] std::uint64_t errors() const { return errors_; }
  [[nodiscard]] const std::string& last_error() const { return last_error_; }

 private:
  void note_error(std::string text) {
    ++errors_;
    last_error_ = std::move(text);
  }

  int id_;
  std::mt19937_64 rng_;
  std::vector<KeyModel> keys_;
  std::uint64_t seq_ = 0;
  std::set<std::string> tables_acked_;
  std::optional<std::string> table_in_flight_;  // sent, not answered when the server died
  std::uint64_t next_table_ = 0;
  std::uint64_t acknowledged_ = 0;
  std::uint64_t tables_ = 0;
  std::uint64_t checkpoints_ = 0;
  std::uint64_t errors_ = 0;
  std::string last_error_;
};

class CrashTest {
 public:
  explicit CrashTest(const Options& o) : o_(o), rng_(o_.seed) {}

  int run() {
    const auto started = Clock::now();
    reset_directory();
    for (int round = 1; round <= o_.rounds; ++round) {
      if (round > 1 && (round - 1) % o_.rounds_per_dir == 0) {
        if (!final_check()) break;
        reset_directory();
      }
      if (!kill_round(round)) break;
    }
    if (t_.failures == 0) final_check();
    const double secs = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf(
        "kavrel_crash_test: seed=%llu rounds=%d acknowledged=%llu keys_checked=%llu "
        "in_flight_applied=%llu lost=%llu resurrected=%llu invented=%llu server_errors=%llu "
        "checkpoints=%llu compactions=%llu snapshot_loads=%llu tables=%llu early_kills=%llu "
        "tails_moved=%llu temps_removed=%llu failures=%llu elapsed=%.1fs\n",
        static_cast<unsigned long long>(o_.seed), rounds_done_, ull(t_.acknowledged),
        ull(t_.keys_checked), ull(t_.in_flight_seen), ull(t_.lost), ull(t_.resurrected),
        ull(t_.invented), ull(t_.server_errors), ull(t_.checkpoints), ull(t_.compactions),
        ull(t_.snapshot_loads), ull(t_.tables), ull(t_.early_kills), ull(t_.tails_moved),
        ull(t_.temps_removed), ull(t_.failures), secs);
    const bool ok = t_.lost == 0 && t_.resurrected == 0 && t_.invented == 0 &&
                    t_.server_errors == 0 && t_.failures == 0 && rounds_done_ == o_.rounds;
    return ok ? 0 : 1;
  }

 private:
  static unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

  [[nodiscard]] std::filesystem::path db() const { return dir_->path() / "db"; }
  [[nodiscard]] std::filesystem::path socket() const { return db() / "kavrel.sock"; }

  void reset_directory() {
    dir_ = std::make_unique<TempDir>();
    writers_.clear();
    for (int w = 0; w < o_.writers; ++w) {
      writers_.push_back(std::make_unique<Writer>(w, o_.keys, rng_()));
    }
  }

  std::unique_ptr<ServerProcess> start() {
    return std::make_unique<ServerProcess>(
        std::vector<std::string>{"--db", db().string(), "--log-level", "info", "--compact-log-mib",
                                 std::to_string(o_.compact_log_mib)},
        dir_->path());
  }

  void failure(const std::string& what, const ServerProcess* server) {
    ++t_.failures;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    if (server != nullptr) {
      std::fprintf(stderr, "--- server stdout ---\n%s--- server stderr ---\n%s",
                   server->stdout_text().c_str(), server->stderr_text().c_str());
    }
  }

  // Counts and checks a stopped server's output.
  void inspect_output(const ServerProcess& server) {
    const std::string out = server.stdout_text();
    t_.tails_moved += occurrences(out, "unreadable bytes at offset");
    t_.compactions += occurrences(out, "Compacted ");
    t_.snapshot_loads += occurrences(out, "Loaded snapshot ");
    t_.temps_removed += occurrences(out, "stale temporary file");
  }

  static std::uint64_t occurrences(const std::string& text, std::string_view what) {
    std::uint64_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  // The log written last: wal.log until a compaction, then the wal-<n>.log of the highest n.
  [[nodiscard]] std::filesystem::path current_log() const {
    std::filesystem::path newest = db() / "wal.log";
    std::uint64_t highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(db())) {
      const std::string name = entry.path().filename().string();
      std::uint64_t generation = 0;
      if (name.size() <= 8 || !name.starts_with("wal-") || !name.ends_with(".log")) continue;
      const char* first = name.data() + 4;
      const char* last = name.data() + name.size() - 4;
      const auto [p, ec] = std::from_chars(first, last, generation);
      if (ec == std::errc() && p == last && generation > highest) {
        highest = generation;
        newest = entry.path();
      }
    }
    return newest;
  }

  // One round: start, maybe kill during start-up, verify the previous round, write, kill.
  bool kill_round(int round) {
    std::uniform_int_distribution<int> one_in(0, 7);
    if (one_in(rng_) == 0) {
      // A kill while the server opens the directory and replays the log.
      auto early = start();
      std::uniform_int_distribution<int> delay(0, 40);
      std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng_)));
      early->signal(SIGKILL);
      if (!early->wait_exit()) {
        failure("server did not die after SIGKILL", early.get());
        return false;
      }
      inspect_output(*early);
      ++t_.early_kills;
    }
    auto server = start();
    if (!server->wait_ready(socket(), std::chrono::seconds(60))) {
      failure("server did not become ready in round " + std::to_string(round), server.get());
      return false;
    }
    if (!verify(*server, round)) return false;

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& w : writers_) {
      threads.emplace_back([&, w = w.get()] { w->run(socket(), stop); });
    }
    std::uniform_int_distribution<int> delay(o_.min_ms, o_.max_ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng_)));
    server->signal(SIGKILL);
    for (auto& t : threads) t.join();
    const auto status = server->wait_exit();
    if (status != 128 + SIGKILL) {
      failure("server ended with status " + (status ? std::to_string(*status) : "<none>") +
                  " instead of being killed",
              server.get());
      return false;
    }
    inspect_output(*server);
    if (o_.cut_tail > 0) {
      const auto log = current_log();
      const auto size = std::filesystem::file_size(log);
      std::filesystem::resize_file(log, size - std::min<std::uint64_t>(size, o_.cut_tail));
    }
    std::uint64_t acked = 0;
    for (auto& w : writers_) {
      acked += w->acknowledged();
      t_.tables += w->tables();
      t_.checkpoints += w->checkpoints();
      t_.server_errors += w->errors();
      if (w->errors() > 0) {
        std::fprintf(stderr, "FAIL: round %d: %llu ERROR answers, last: %s\n", round,
                     ull(w->errors()), w->last_error().c_str());
      }
    }
    t_.acknowledged += acked;
    ++rounds_done_;
    if (o_.verbose) {
      std::printf("round %d: %llu operations acknowledged before the kill\n", round, ull(acked));
      std::fflush(stdout);
    }
    return true;
  }

  // Restarts, verifies, stops with SIGINT, restarts and verifies again (the clean path).
  bool final_check() {
    for (int pass = 0; pass < 2; ++pass) {
      auto server = start();
      if (!server->wait_ready(socket(), std::chrono::seconds(60))) {
        failure("server did not become ready for the final check", server.get());
        return false;
      }
      if (!verify(*server, 0)) return false;
      server->signal(SIGINT);
      if (server->wait_exit() != 0) {
        failure("server did not exit 0 after SIGINT", server.get());
        return false;
      }
      inspect_output(*server);
    }
    return true;
  }

  // Compares every key with the states its history allows, then adopts what was found.
  bool verify(ServerProcess& server, int round) {
    auto client = Client::connect(socket(), std::chrono::seconds(60));
    if (!client) {
      failure("cannot connect: " + client.error().message(), &server);
      return false;
    }
    auto listing = client->scan(kPrefix);
    if (!listing) {
      failure("SCAN failed: " + listing.error().message(), &server);
      return false;
    }
    std::map<std::string, std::string> scanned(listing->begin(), listing->end());
    const std::string where = round > 0 ? "round " + std::to_string(round) : "final check";
    if (!verify_tables(*client, server, where)) return false;
    std::map<std::string, KeyModel*> known;
    for (auto& w : writers_) {
      for (auto& k : w->keys()) known[k.key] = &k;
    }
    for (const auto& [key, value] : scanned) {
      if (!known.contains(key)) {
        ++t_.invented;
        std::fprintf(stderr, "FAIL: %s: key %s was never written\n", where.c_str(), key.c_str());
      }
    }
    bool ok = true;
    for (auto& [key, k] : known) {
      const auto it = scanned.find(key);
      const State observed = it == scanned.end() ? State() : State(it->second);
      auto got = client->get(key);
      if (!got) {
        failure("GET failed: " + got.error().message(), &server);
        return false;
      }
      if (*got != observed.value_or("")) {
        ok = false;
        ++t_.invented;
        std::fprintf(stderr, "FAIL: %s: GET %s = %s but SCAN shows %s\n", where.c_str(),
                     key.c_str(), describe(State(*got)).c_str(), describe(observed).c_str());
      }
      ++t_.keys_checked;
      if (observed == k->acked) {
        // As acknowledged (an in-flight operation that would leave the same state included).
      } else if (k->in_flight && observed == k->in_flight_state) {
        ++t_.in_flight_seen;
      } else {
        ok = false;
        if (observed && !well_formed(key, *observed)) {
          ++t_.invented;
        } else if (!k->acked) {
          ++t_.resurrected;
        } else {
          ++t_.lost;
        }
        std::fprintf(stderr, "FAIL: %s: %s reads %s; acknowledged %s%s%s\n", where.c_str(),
                     key.c_str(), describe(observed).c_str(), describe(k->acked).c_str(),
                     k->in_flight ? ", in flight " : "",
                     k->in_flight ? describe(k->in_flight_state).c_str() : "");
      }
      k->acked = observed;
      k->in_flight = false;
      k->in_flight_state.reset();
    }
    if (!ok && o_.verbose) {
      std::fprintf(stderr, "--- server stdout ---\n%s", server.stdout_text().c_str());
    }
    return true;  // mismatches are counted; the run goes on to find more
  }

  // The tables, and no temporary file left behind by the open.
  bool verify_tables(Client& client, ServerProcess& server, const std::string& where) {
    auto tables = client.list_tables();
    if (!tables) {
      failure("LIST_TABLES failed: " + tables.error().message(), &server);
      return false;
    }
    std::set<std::string> listed;
    for (const WireSchema& t : *tables) listed.insert(t.name);
    Writer& registrar = *writers_[std::min(kRegistrar, writers_.size() - 1)];
    for (const std::string& fault : registrar.adopt_tables(listed)) {
      ++t_.lost;
      std::fprintf(stderr, "FAIL: %s: %s\n", where.c_str(), fault.c_str());
    }
    for (const auto& entry : std::filesystem::directory_iterator(db())) {
      if (entry.path().filename().string().starts_with(".tmp")) {
        failure(where + ": " + entry.path().filename().string() + " is left after the start",
                &server);
        return false;
      }
    }
    return true;
  }

  Options o_;
  std::mt19937_64 rng_;
  std::unique_ptr<TempDir> dir_;
  std::vector<std::unique_ptr<Writer>> writers_;
  Totals t_;
  int rounds_done_ = 0;
};

bool parse_int(std::string_view text, long long& out) {
  const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && p == text.data() + text.size();
}

int usage(const char* message) {
  std::fprintf(stderr,
               "kavrel_crash_test: %s\nusage: kavrel_crash_test [--rounds=N] [--seed=N] "
               "[--writers=N] [--keys=N] [--min-ms=N] [--max-ms=N] [--rounds-per-dir=N] "
               "[--compact-log-mib=N] [--cut-tail=BYTES] [--verbose]\n",
               message);
  return 2;
}

}  // namespace
}  // namespace kavrel::crash

int main(int argc, char** argv) {
  using namespace kavrel::crash;
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : arg.substr(eq + 1);
    if (name == "--verbose") {
      o.verbose = true;
      continue;
    }
    long long n = 0;
    if (!parse_int(value, n) || n < 0) return usage(("bad argument: " + std::string(arg)).c_str());
    if (name == "--rounds" && n >= 1) {
      o.rounds = static_cast<int>(n);
    } else if (name == "--seed") {
      o.seed = static_cast<std::uint64_t>(n);
    } else if (name == "--writers" && n >= 1 && n <= 64) {
      o.writers = static_cast<int>(n);
    } else if (name == "--keys" && n >= 1 && n <= 1000) {
      o.keys = static_cast<int>(n);
    } else if (name == "--min-ms") {
      o.min_ms = static_cast<int>(n);
    } else if (name == "--max-ms") {
      o.max_ms = static_cast<int>(n);
    } else if (name == "--compact-log-mib" && n <= 1024) {
      o.compact_log_mib = static_cast<std::uint64_t>(n);
    } else if (name == "--cut-tail") {
      o.cut_tail = static_cast<std::uint64_t>(n);
    } else if (name == "--rounds-per-dir" && n >= 1) {
      o.rounds_per_dir = static_cast<int>(n);
    } else {
      return usage(("bad argument: " + std::string(arg)).c_str());
    }
  }
  if (o.min_ms > o.max_ms) return usage("--min-ms must not exceed --max-ms");
  if (o.seed == 0) {
    o.seed = static_cast<std::uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count() & 0x7fffffffffffffff);
  }
  ::signal(SIGPIPE, SIG_IGN);
  return CrashTest(o).run();
}
