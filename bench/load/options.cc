#include "bench/load/options.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace kavrel::bench {
namespace {

constexpr const char* kVersion = "2.1.0";
constexpr std::uint64_t kDefaultRequests = 10000;

constexpr const char* kFooter =
    R"(Each connection runs on its own thread and keeps up to --pipeline requests in flight,
sending the next as soon as an answer arrives. Without -n and -t it sends 10000 requests.
With both, it stops at whichever comes first. For txn, -n counts transactions (BEGIN_TXN and
COMMIT_TXN, two requests each). Latencies run from sending a request to reading its answer.
ops/s counts the requests that succeeded; requests answered with an error are reported apart,
as a count and a rate. --json writes the summary as one JSON line, --csv as a header line and
one row.
Exit status: 0 done, 1 a connection failed during the run, 2 usage error, 3 the server cannot
be reached.)";

// The whole text as a T, or a usage error naming the option.
template <class T>
T number(const std::string& text, const char* option) {
  T v{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw CLI::ValidationError(fmt::format("{}: '{}' is not a number", option, text));
  }
  return v;
}

double us(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

}  // namespace

BenchParse parse_bench_args(const std::vector<std::string>& args) {
  BenchOptions o;
  BenchConfig& config = o.config;
  CLI::App app{"Closed-loop load generator for kavrel-server", "kavrel-bench"};
  app.footer(kFooter);
  app.set_version_flag("-V,--version", fmt::format("kavrel-bench {}", kVersion));
  std::string db, workload = "put", protocol = "kavrel";
  // Numbers are taken as text and converted here, so that a bad one names its option.
  std::string connections, requests, seconds, pipeline, ratio, keys, value_size, seed;
  bool json = false, csv = false;
  auto* socket_opt = app.add_option("-s,--socket", config.target.socket,
                                    "The server's Unix socket (default: ./kavrel_data/kavrel.sock)")
                         ->type_name("SOCKET");
  auto* db_opt =
      app.add_option("-d,--db", db, "The database directory: its socket is DB/kavrel.sock")
          ->type_name("DB");
  auto* c_opt =
      app.add_option("-c,--connections", connections, "Connections, one thread each (default 1)")
          ->type_name("C");
  auto* n_opt = app.add_option("-n,--requests", requests,
                               "Requests in all (txn: transactions; default 10000)")
                    ->type_name("N");
  auto* t_opt = app.add_option("-t,--time", seconds, "Seconds to run")->type_name("SECONDS");
  auto* p_opt =
      app.add_option("--pipeline", pipeline, "Frames in flight per connection (default 1)")
          ->type_name("D");
  app.add_option("-w,--workload", workload,
                 "put, get, mixed, scan, txn, transfer, ping or connect (default put)")
      ->type_name("W");
  app.add_option("--protocol", protocol,
                 "kavrel, or resp for a RESP server (put, get, mixed, ping; default kavrel)")
      ->type_name("P");
  auto* r_opt = app.add_option("--ratio", ratio, "mixed: the fraction of reads (default 0.8)")
                    ->type_name("R");
  auto* k_opt = app.add_option("--keys", keys, "Key space (default 10000)")->type_name("N");
  auto* v_opt =
      app.add_option("--value-size", value_size, "Value bytes (default 100)")->type_name("B");
  auto* seed_opt = app.add_option("--seed", seed, "Random seed (default 1)")->type_name("S");
  std::string tcp;
  auto* tcp_opt =
      app.add_option("--tcp", tcp, "The server's TCP address HOST:PORT instead of a socket")
          ->type_name("HOST:PORT");
  app.add_flag("--tls", config.target.tls, "TLS over --tcp");
  auto* ca_opt = app.add_option("--ca", config.target.ca,
                                "The CA file the server's certificate is checked by (implies "
                                "--tls; default: the system's)")
                     ->type_name("FILE");
  app.add_option("--user", config.target.user,
                 "Log in as NAME (the password from KAVREL_PASSWORD); RESP: AUTH NAME PASSWORD")
      ->type_name("NAME");
  app.add_flag("--no-preload", o.no_preload,
               "get, mixed, scan: the keys are already there (from an earlier run)");
  app.add_flag("--json", json, "The summary as one JSON line");
  app.add_flag("--csv", csv, "The summary as CSV: a header line and one row");
  app.add_flag("-q,--quiet", o.quiet, "No progress line");

  BenchParse out;
  try {
    std::vector<std::string> rev(args.rbegin(), args.rend());
    app.parse(rev);
    if (socket_opt->count() > 0 && db_opt->count() > 0) {
      throw CLI::ValidationError("give either -s SOCKET or -d DB, not both");
    }
    if (json && csv) throw CLI::ValidationError("give either --json or --csv, not both");
    o.format = json ? OutputFormat::Json : csv ? OutputFormat::Csv : OutputFormat::Text;
    const auto w = parse_workload(workload);
    if (!w) throw CLI::ValidationError(fmt::format("unknown workload '{}'", workload));
    config.workload = *w;
    const auto proto = parse_protocol(protocol);
    if (!proto) throw CLI::ValidationError(fmt::format("unknown protocol '{}'", protocol));
    config.target.protocol = *proto;
    if (c_opt->count() > 0) config.connections = number<unsigned>(connections, "--connections");
    if (n_opt->count() > 0) config.requests = number<std::uint64_t>(requests, "--requests");
    if (t_opt->count() > 0) config.seconds = number<double>(seconds, "--time");
    if (p_opt->count() > 0) config.pipeline = number<unsigned>(pipeline, "--pipeline");
    if (r_opt->count() > 0) config.ratio = number<double>(ratio, "--ratio");
    if (k_opt->count() > 0) config.keys = number<std::uint64_t>(keys, "--keys");
    if (v_opt->count() > 0) config.value_size = number<std::size_t>(value_size, "--value-size");
    if (seed_opt->count() > 0) config.seed = number<std::uint64_t>(seed, "--seed");
    if (!config.requests && !config.seconds) config.requests = kDefaultRequests;
    if (db_opt->count() > 0) {
      config.target.socket = (std::filesystem::path(db) / "kavrel.sock").string();
    }
    if (tcp_opt->count() > 0) {
      if (socket_opt->count() > 0 || db_opt->count() > 0) {
        throw CLI::ValidationError("give either --tcp HOST:PORT or -s/-d, not both");
      }
      config.target.tcp = tcp;
    }
    if ((config.target.tls || ca_opt->count() > 0) && !config.target.tcp) {
      throw CLI::ValidationError("--tls and --ca need --tcp HOST:PORT");
    }
    if (ca_opt->count() > 0) config.target.tls = true;
    if (!config.target.user.empty()) {
      const char* password = std::getenv("KAVREL_PASSWORD");
      if (password == nullptr) throw CLI::ValidationError("--user needs KAVREL_PASSWORD set");
      config.target.password = password;
    }
    if (const std::string problem = config.check(); !problem.empty()) {
      throw CLI::ValidationError(problem);
    }
  } catch (const CLI::CallForHelp&) {
    out.out = app.help();
    return out;
  } catch (const CLI::CallForAllHelp&) {
    out.out = app.help("", CLI::AppFormatMode::All);
    return out;
  } catch (const CLI::CallForVersion& e) {
    out.out = std::string(e.what()) + "\n";
    return out;
  } catch (const CLI::ParseError& e) {
    out.status = kExitUsage;
    out.err = fmt::format("error: {}\nRun 'kavrel-bench --help' for the options.\n", e.what());
    return out;
  }
  out.options = std::move(o);
  return out;
}

double ops_per_sec(const BenchResult& r) {
  if (r.seconds <= 0) return 0;
  const std::uint64_t ok = r.requests >= r.errors ? r.requests - r.errors : 0;
  return static_cast<double>(ok) / r.seconds;
}

double per_sec(std::uint64_t n, const BenchResult& r) {
  return r.seconds > 0 ? static_cast<double>(n) / r.seconds : 0;
}

double errors_per_sec(const BenchResult& r) {
  return r.seconds > 0 ? static_cast<double>(r.errors) / r.seconds : 0;
}

std::string summary_text(const BenchConfig& c, const BenchResult& r) {
  std::string out =
      fmt::format("{}{}: {} connection{}, pipeline {}, {} keys, {}-byte values",
                  workload_name(c.workload), c.target.protocol == Protocol::Resp ? " (resp)" : "",
                  c.connections, c.connections == 1 ? "" : "s", c.pipeline, c.keys, c.value_size);
  if (c.workload == Workload::Mixed) out += fmt::format(", {:.0f}% reads", c.ratio * 100);
  out += fmt::format("\n  {} requests in {:.2f} s: {:.0f} ops/s", r.requests, r.seconds,
                     ops_per_sec(r));
  if (c.workload == Workload::Txn) {
    out += fmt::format(" ({:.0f} transactions/s)",
                       r.seconds > 0 ? static_cast<double>(r.transactions) / r.seconds : 0.0);
  }
  if (c.workload == Workload::Transfer) {
    out += fmt::format(" ({:.0f} commits/s, {:.0f} aborts/s, {} retries)",
                       per_sec(r.transactions, r), per_sec(r.aborts, r), r.retries);
  }
  out += fmt::format(", {} errors", r.errors);
  if (r.errors > 0) {
    out += fmt::format(" ({:.0f} errors/s, {:.1f}% of requests)", errors_per_sec(r),
                       100.0 * static_cast<double>(r.errors) / static_cast<double>(r.requests));
  }
  const auto& h = r.latency;
  out += fmt::format(
      "\n  latency (microseconds): p50 {:.1f}  p90 {:.1f}  p99 {:.1f}  p99.9 {:.1f}  max {:.1f}\n",
      us(h.percentile(0.5)), us(h.percentile(0.9)), us(h.percentile(0.99)), us(h.percentile(0.999)),
      us(h.max()));
  if (c.workload == Workload::Txn || c.workload == Workload::Transfer) {
    const auto& ch = r.commit_latency;
    out += fmt::format(
        "  commit latency (microseconds): p50 {:.1f}  p99 {:.1f}  p99.9 {:.1f}  max {:.1f}\n",
        us(ch.percentile(0.5)), us(ch.percentile(0.99)), us(ch.percentile(0.999)), us(ch.max()));
  }
  if (!r.first_error.empty()) out += fmt::format("  first error: {}\n", r.first_error);
  return out;
}

std::string summary_json(const BenchConfig& c, const BenchResult& r) {
  const auto& h = r.latency;
  nlohmann::ordered_json j;
  j["workload"] = workload_name(c.workload);
  // Only a RESP run says so: a Kavrel run's line is as it always was.
  if (c.target.protocol == Protocol::Resp) j["protocol"] = protocol_name(c.target.protocol);
  j["connections"] = c.connections;
  j["pipeline"] = c.pipeline;
  j["keys"] = c.keys;
  j["value_size"] = c.value_size;
  if (c.workload == Workload::Mixed) j["ratio"] = c.ratio;
  j["requests"] = r.requests;
  j["errors"] = r.errors;
  if (c.workload == Workload::Txn || c.workload == Workload::Transfer) {
    j["transactions"] = r.transactions;
  }
  if (c.workload == Workload::Transfer) {
    j["commits_per_sec"] = per_sec(r.transactions, r);
    j["aborts"] = r.aborts;
    j["aborts_per_sec"] = per_sec(r.aborts, r);
    j["retries"] = r.retries;
  }
  j["seconds"] = r.seconds;
  j["ops_per_sec"] = ops_per_sec(r);
  j["errors_per_sec"] = errors_per_sec(r);
  j["latency_us"] = {{"p50", us(h.percentile(0.5))},
                     {"p90", us(h.percentile(0.9))},
                     {"p99", us(h.percentile(0.99))},
                     {"p99_9", us(h.percentile(0.999))},
                     {"max", us(h.max())},
                     {"mean", h.mean() / 1000.0}};
  if (c.workload == Workload::Txn || c.workload == Workload::Transfer) {
    const auto& ch = r.commit_latency;
    j["commit_latency_us"] = {{"p50", us(ch.percentile(0.5))},
                              {"p99", us(ch.percentile(0.99))},
                              {"p99_9", us(ch.percentile(0.999))},
                              {"max", us(ch.max())}};
  }
  if (!r.first_error.empty()) j["first_error"] = r.first_error;
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string summary_csv(const BenchConfig& c, const BenchResult& r) {
  const auto& h = r.latency;
  std::string first_error = "\"";
  for (const char ch : r.first_error) {
    if (ch == '"') first_error += '"';
    first_error += ch;
  }
  first_error += '"';
  return fmt::format(
      "workload,connections,pipeline,keys,value_size,ratio,requests,errors,transactions,seconds,"
      "ops_per_sec,errors_per_sec,p50_us,p90_us,p99_us,p99_9_us,max_us,mean_us,first_error\n"
      "{},{},{},{},{},{},{},{},{},{:.6f},{:.1f},{:.1f},{:.1f},{:.1f},{:.1f},{:.1f},{:.1f},{:.1f},"
      "{}\n",
      workload_name(c.workload), c.connections, c.pipeline, c.keys, c.value_size,
      c.workload == Workload::Mixed ? fmt::format("{}", c.ratio) : "", r.requests, r.errors,
      c.workload == Workload::Txn || c.workload == Workload::Transfer
          ? fmt::format("{}", r.transactions)
          : "",
      r.seconds, ops_per_sec(r), errors_per_sec(r), us(h.percentile(0.5)), us(h.percentile(0.9)),
      us(h.percentile(0.99)), us(h.percentile(0.999)), us(h.max()), h.mean() / 1000.0,
      r.first_error.empty() ? "" : first_error);
}

}  // namespace kavrel::bench
