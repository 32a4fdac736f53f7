// kavrel-bench's command line and its summaries (text, one JSON line, or CSV), kept apart from
// main so that tests can run them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/load/load_generator.h"

namespace kavrel::bench {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;

enum class OutputFormat { Text, Json, Csv };

struct BenchOptions {
  BenchConfig config;
  OutputFormat format = OutputFormat::Text;
  bool quiet = false;
  bool no_preload = false;
};

// The options to run with, or the status with the text to print (help and version on standard
// output with status 0; errors on standard error with status 2).
struct BenchParse {
  std::optional<BenchOptions> options;
  int status = kExitOk;
  std::string out, err;
};

// Parses the arguments (without the program name). A number that does not parse is refused
// naming the option and the text: "--connections: 'abc' is not a number".
BenchParse parse_bench_args(const std::vector<std::string>& args);

// Successful requests per second: errors are not counted as operations.
double ops_per_sec(const BenchResult& r);
double errors_per_sec(const BenchResult& r);

// The summaries. Text: several lines; JSON: one line; CSV: a header line and one row.
std::string summary_text(const BenchConfig& c, const BenchResult& r);
std::string summary_json(const BenchConfig& c, const BenchResult& r);
std::string summary_csv(const BenchConfig& c, const BenchResult& r);

}  // namespace kavrel::bench
