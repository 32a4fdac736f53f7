#include "bench/load/options.h"

#include <gtest/gtest.h>

namespace kavrel::bench {
namespace {

using Words = std::vector<std::string>;

TEST(BenchOptionsTest, NumbersThatDoNotParseNameTheOptionAndTheText) {
  struct Case {
    Words args;
    std::string error_line;
  };
  const Case cases[] = {
      {{"--connections", "abc"}, "error: --connections: 'abc' is not a number"},
      {{"-c", "4x"}, "error: --connections: '4x' is not a number"},
      {{"-c", "-1"}, "error: --connections: '-1' is not a number"},
      {{"-n", ""}, "error: --requests: '' is not a number"},
      {{"-t", "five"}, "error: --time: 'five' is not a number"},
      {{"--pipeline", "1.5"}, "error: --pipeline: '1.5' is not a number"},
      {{"--ratio", "half"}, "error: --ratio: 'half' is not a number"},
      {{"--keys", "10k"}, "error: --keys: '10k' is not a number"},
      {{"--value-size", "1MB"}, "error: --value-size: '1MB' is not a number"},
      {{"--seed", "0x10"}, "error: --seed: '0x10' is not a number"},
      {{"--json", "--csv"}, "error: give either --json or --csv, not both"},
      {{"-c", "0"}, "error: -c must be from 1 to 1000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_line);
    const BenchParse p = parse_bench_args(c.args);
    EXPECT_FALSE(p.options.has_value());
    EXPECT_EQ(p.status, kExitUsage);
    EXPECT_EQ(p.err.substr(0, p.err.find('\n')), c.error_line);
  }
}

TEST(BenchOptionsTest, ValuesFormatsHelpAndVersion) {
  const BenchParse p = parse_bench_args({"-c",           "4",  "-n",      "50",   "-t",     "2.5",
                                         "--pipeline",   "8",  "--ratio", "0.25", "--keys", "77",
                                         "--value-size", "10", "--seed",  "9",    "-w",     "mixed",
                                         "--csv",        "-q"});
  ASSERT_TRUE(p.options.has_value()) << p.err;
  const BenchConfig& c = p.options->config;
  EXPECT_EQ(c.connections, 4u);
  EXPECT_EQ(c.requests, 50u);
  EXPECT_EQ(c.seconds, 2.5);
  EXPECT_EQ(c.pipeline, 8u);
  EXPECT_EQ(c.ratio, 0.25);
  EXPECT_EQ(c.keys, 77u);
  EXPECT_EQ(c.value_size, 10u);
  EXPECT_EQ(c.seed, 9u);
  EXPECT_EQ(c.workload, Workload::Mixed);
  EXPECT_EQ(p.options->format, OutputFormat::Csv);
  EXPECT_TRUE(p.options->quiet);
  EXPECT_EQ(parse_bench_args({"--json"}).options->format, OutputFormat::Json);
  EXPECT_EQ(parse_bench_args({}).options->config.requests, 10000u);

  const BenchParse version = parse_bench_args({"--version"});
  EXPECT_EQ(version.status, kExitOk);
  EXPECT_FALSE(version.options.has_value());
  EXPECT_EQ(version.out, "kavrel-bench 2.1.0\n");
  const BenchParse help = parse_bench_args({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("--csv"), std::string::npos);
  EXPECT_NE(help.out.find("ops/s counts the requests that succeeded"), std::string::npos);
}

TEST(BenchOptionsTest, ProtocolDefaultsToKavrelAndRespTakesTheKeyValueWorkloads) {
  EXPECT_EQ(parse_bench_args({}).options->config.target.protocol, Protocol::Kavrel);
  for (const char* w : {"put", "get", "mixed", "ping"}) {
    SCOPED_TRACE(w);
    const BenchParse p = parse_bench_args({"--protocol", "resp", "-w", w});
    ASSERT_TRUE(p.options.has_value()) << p.err;
    EXPECT_EQ(p.options->config.target.protocol, Protocol::Resp);
  }
  const BenchParse txn = parse_bench_args({"--protocol", "resp", "-w", "txn"});
  EXPECT_EQ(txn.status, kExitUsage);
  EXPECT_EQ(txn.err.substr(0, txn.err.find('\n')),
            "error: the txn workload needs --protocol kavrel");
  const BenchParse bad = parse_bench_args({"--protocol", "http"});
  EXPECT_EQ(bad.status, kExitUsage);
  EXPECT_EQ(bad.err.substr(0, bad.err.find('\n')), "error: unknown protocol 'http'");
}

BenchResult result_of(std::uint64_t requests, std::uint64_t errors, double seconds) {
  BenchResult r;
  r.requests = requests;
  r.errors = errors;
  r.seconds = seconds;
  return r;
}

TEST(BenchOptionsTest, RatesCountSuccessesAndErrorsApart) {
  struct Case {
    std::uint64_t requests, errors;
    double seconds, ops, errors_per_sec;
  };
  const Case cases[] = {
      {100, 0, 2, 50, 0},
      {100, 40, 2, 30, 20},
      {100, 100, 4, 0, 25},
      {0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const BenchResult r = result_of(c.requests, c.errors, c.seconds);
    EXPECT_DOUBLE_EQ(ops_per_sec(r), c.ops);
    EXPECT_DOUBLE_EQ(errors_per_sec(r), c.errors_per_sec);
  }
}

TEST(BenchOptionsTest, SummariesReportErrorsAsACountAndARate) {
  BenchConfig config;
  BenchResult r = result_of(100, 40, 2);
  r.first_error = "Internal error: \"x\"";
  const std::string text = summary_text(config, r);
  EXPECT_NE(text.find("  100 requests in 2.00 s: 30 ops/s, 40 errors (20 errors/s, 40.0% of "
                      "requests)\n"),
            std::string::npos)
      << text;
  const std::string json = summary_json(config, r);
  EXPECT_NE(json.find(R"("requests":100,"errors":40,"seconds":2.0,"ops_per_sec":30.0,)"
                      R"("errors_per_sec":20.0,)"),
            std::string::npos)
      << json;
  const std::string csv = summary_csv(config, r);
  const std::string header = csv.substr(0, csv.find('\n'));
  EXPECT_EQ(header,
            "workload,connections,pipeline,keys,value_size,ratio,requests,errors,transactions,"
            "seconds,ops_per_sec,errors_per_sec,p50_us,p90_us,p99_us,p99_9_us,max_us,mean_us,"
            "first_error");
  EXPECT_TRUE(
      csv.substr(header.size() + 1).starts_with("put,1,1,10000,100,,100,40,,2.000000,30.0,20.0,"))
      << csv;
  EXPECT_TRUE(csv.ends_with(",\"Internal error: \"\"x\"\"\"\n")) << csv;
}

}  // namespace
}  // namespace kavrel::bench
