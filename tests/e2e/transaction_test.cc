// Transactions over the socket: requests inside a handle (IN_TXN), their isolation, their error
// texts, blind writes that wait, and a randomized history checked for serializability.
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "clients/cpp/kavrel_client.h"
#include "tests/support/history_checker.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {
namespace {

constexpr const char* kListening = "[IpcServer] Listening on ";
constexpr const char* kValidation =
    "Validation error: transaction aborted: SSI validation failed (serialization conflict) or "
    "transaction not found";

class TransactionE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--db", (tmp_.path() / "db").string()}, tmp_.path());
    ASSERT_TRUE(server_->wait_for_stderr(kListening)) << server_->stderr_text();
  }
  Client connect() {
    auto c = Client::connect(tmp_.path() / "db" / "kavrel.sock", std::chrono::seconds(20));
    EXPECT_TRUE(c.has_value()) << c.error().message();
    return std::move(*c);
  }
  static Bytes in_txn(std::uint64_t handle, std::uint8_t op, BytesView payload) {
    Bytes out(9, '\0');
    store_le<std::uint64_t>(out.data(), handle);
    out[8] = static_cast<char>(op);
    out.append(payload);
    return out;
  }

  TempDir tmp_;
  std::unique_ptr<ServerProcess> server_;
};

std::string error_text(const Message& m) {
  return m.opcode == response::ERROR ? std::string(m.payload) : "<not an error>";
}

TEST_F(TransactionE2eTest, MalformedInTxnRequestsAreRefusedWithTheirTexts) {
  Client c = connect();
  auto handle = c.begin();
  ASSERT_TRUE(handle.has_value());
  struct Case {
    const char* name;
    Bytes payload;
    const char* want;
  };
  const Case cases[] = {
      {"empty", Bytes(), "IN_TXN requires txn_id and an opcode"},
      {"handle only", Bytes(8, '\x01'), "IN_TXN requires txn_id and an opcode"},
      {"unknown handle", in_txn(42, opcode::GET, "k"), "Transaction not found: 42"},
      {"nested begin", in_txn(*handle, opcode::BEGIN_TXN, ""),
       "IN_TXN cannot carry BEGIN_TXN (0x04)"},
      {"commit inside", in_txn(*handle, opcode::COMMIT_TXN, ""),
       "IN_TXN cannot carry COMMIT_TXN (0x05)"},
      {"nested IN_TXN", in_txn(*handle, opcode::IN_TXN, ""), "IN_TXN cannot carry IN_TXN (0x11)"},
      {"not a request", in_txn(*handle, 0x42, ""), "IN_TXN cannot carry opcode 0x42"},
      {"a compaction", in_txn(*handle, opcode::COMPACT, ""), "IN_TXN cannot carry COMPACT (0x10)"},
      {"inner payload error", in_txn(*handle, opcode::PUT, "ab"),
       "Protocol error: PUT payload too short"},
      {"short scan prefix", in_txn(*handle, opcode::SCAN, "a"),
       "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use scan_unchecked() "
       "for unrestricted scans."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto m = c.call(opcode::IN_TXN, k.payload);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(error_text(*m), k.want);
  }
  // None of these ended the transaction.
  EXPECT_TRUE(c.commit(*handle).has_value());
}

TEST_F(TransactionE2eTest, ReadsSeeTheSnapshotAndOwnWritesAndNothingLeaksBeforeCommit) {
  Client a = connect(), b = connect();
  ASSERT_TRUE(a.put("r/gone", "old").has_value());
  ASSERT_TRUE(a.put("r/kept", "1").has_value());
  auto t = a.transaction();
  ASSERT_TRUE(t.has_value());
  ASSERT_TRUE(b.put("r/later", "after-begin").has_value());  // after the snapshot
  ASSERT_TRUE(t->put("r/new", "mine").has_value());
  ASSERT_TRUE(t->del("r/gone").has_value());
  EXPECT_EQ(*t->get("r/new"), "mine");
  EXPECT_EQ(*t->get("r/gone"), "");
  EXPECT_EQ(*t->get("r/later"), "");
  auto listing = t->scan("r/");
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ(listing->size(), 2u);
  EXPECT_EQ((*listing)[0].first, "r/kept");
  EXPECT_EQ((*listing)[1].first, "r/new");
  // Others see nothing of it yet.
  EXPECT_EQ(*b.get("r/new"), "");
  EXPECT_EQ(*b.get("r/gone"), "old");
  // It read r/later (absent) and scanned r/, both changed by b's commit after its snapshot: the
  // commit is refused, and none of its writes appear.
  auto c = t->commit();
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().text(), kValidation);
  EXPECT_EQ(*b.get("r/new"), "");
  EXPECT_EQ(*b.get("r/gone"), "old");
  // Without the concurrent change, all of it appears at once.
  auto t2 = a.transaction();
  ASSERT_TRUE(t2.has_value());
  ASSERT_TRUE(t2->scan("r/").has_value());
  ASSERT_TRUE(t2->put("r/new", "mine").has_value());
  ASSERT_TRUE(t2->del("r/gone").has_value());
  ASSERT_TRUE(t2->commit().has_value());
  EXPECT_EQ(*b.get("r/new"), "mine");
  EXPECT_EQ(*b.get("r/gone"), "");
}

TEST_F(TransactionE2eTest, AbortAndDisconnectLeaveNothing) {
  Client a = connect();
  {
    auto t = a.transaction();
    ASSERT_TRUE(t.has_value());
    ASSERT_TRUE(t->put("ab/tx1", "one").has_value());
    ASSERT_TRUE(t->put_path({"ab", "path"}, "two").has_value());
    ASSERT_TRUE(t->abort().has_value());
  }
  EXPECT_EQ(*a.get("ab/tx1"), "");
  EXPECT_EQ(*a.get("ab/path"), "");
  {
    auto t = a.transaction();
    ASSERT_TRUE(t.has_value());
    ASSERT_TRUE(t->put("ab/dropped", "x").has_value());
  }  // destroyed while open: aborted
  EXPECT_EQ(*a.get("ab/dropped"), "");
  {
    Client gone = connect();
    auto h = gone.begin();
    ASSERT_TRUE(h.has_value());
    ASSERT_TRUE(gone.call(opcode::IN_TXN, in_txn(*h, opcode::PUT, encode_put("ab/dc", "x"))));
  }  // disconnect
  EXPECT_EQ(*a.get("ab/dc"), "");
  // The server ends the lost connection's transaction by itself; a blind write waits for
  // its pending write to go (it would fail after 5 s if the transaction were left open).
  ASSERT_TRUE(a.put("ab/dc", "mine").has_value());
  auto t = a.transaction();
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t->get("ab/dc"), "mine");
}

TEST_F(TransactionE2eTest, AWriteMeetingAPendingWriteAbortsTheTransaction) {
  Client a = connect(), b = connect();
  auto ta = a.transaction();
  auto tb = b.transaction();
  ASSERT_TRUE(ta.has_value() && tb.has_value());
  ASSERT_TRUE(ta->put("ww/k", "a").has_value());
  ASSERT_TRUE(tb->put("ww/other", "b").has_value());
  auto refused = tb->put("ww/k", "b");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().text(),
            "Transaction 1 aborted: Internal error: Write-write conflict detected; retry from "
            "BEGIN_TXN");
  EXPECT_FALSE(tb->open());
  auto again = b.call(opcode::IN_TXN, in_txn(tb->handle(), opcode::GET, "ww/k"));
  EXPECT_EQ(error_text(*again), "Transaction not found: 1");
  ASSERT_TRUE(ta->commit().has_value());
  EXPECT_EQ(*b.get("ww/other"), "");  // the aborted transaction's earlier write is gone
}

// Two read-modify-write transactions of one key: the later commit is refused.
TEST_F(TransactionE2eTest, LostUpdateIsRefused) {
  Client a = connect(), b = connect();
  ASSERT_TRUE(a.put("acct", "100").has_value());
  auto ta = a.transaction();
  auto tb = b.transaction();
  ASSERT_TRUE(ta.has_value() && tb.has_value());
  EXPECT_EQ(*ta->get("acct"), "100");
  EXPECT_EQ(*tb->get("acct"), "100");
  ASSERT_TRUE(ta->put("acct", "110").has_value());
  ASSERT_TRUE(ta->commit().has_value());
  ASSERT_TRUE(tb->put("acct", "120").has_value());
  auto c = tb->commit();
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().text(), kValidation);
  EXPECT_EQ(*a.get("acct"), "110");
}

TEST_F(TransactionE2eTest, WriteSkewIsRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> reads_a, reads_b;
  };
  const Case cases[] = {
      {"one read, one write each", {"x"}, {"y"}},
      {"both read both", {"x", "y"}, {"x", "y"}},
  };
  int round = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string p = "ws" + std::to_string(round++) + "/";
    Client a = connect(), b = connect();
    auto ta = a.transaction();
    auto tb = b.transaction();
    ASSERT_TRUE(ta.has_value() && tb.has_value());
    for (const auto& key : k.reads_a) ASSERT_TRUE(ta->get(p + key).has_value());
    for (const auto& key : k.reads_b) ASSERT_TRUE(tb->get(p + key).has_value());
    ASSERT_TRUE(ta->put(p + "y", "a").has_value());  // a writes what b read
    ASSERT_TRUE(tb->put(p + "x", "b").has_value());  // b writes what a read
    ASSERT_TRUE(ta->commit().has_value());
    auto c = tb->commit();
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().text(), kValidation);
  }
}

TEST_F(TransactionE2eTest, PhantomUnderAScannedPrefixIsRefused) {
  Client a = connect(), b = connect();
  auto ta = a.transaction();
  ASSERT_TRUE(ta.has_value());
  ASSERT_TRUE(ta->scan("ph/").has_value());  // empty
  ASSERT_TRUE(b.put("ph/1", "inserted").has_value());
  ASSERT_TRUE(ta->put("summary", "ph/ has 0 keys").has_value());
  auto c = ta->commit();
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error().text(), kValidation);
  // A write outside the prefix does not refuse it.
  auto tb = a.transaction();
  ASSERT_TRUE(tb.has_value());
  ASSERT_TRUE(tb->scan("ph/").has_value());
  ASSERT_TRUE(b.put("pz/1", "elsewhere").has_value());
  ASSERT_TRUE(tb->put("summary", "ph/ has 1 key").has_value());
  EXPECT_TRUE(tb->commit().has_value());
}

TEST_F(TransactionE2eTest, CommittedWorkIsVisibleToATransactionBegunAfterTheAnswer) {
  Client a = connect(), b = connect();
  for (int i = 0; i < 200; ++i) {
    const std::string v = std::to_string(i);
    auto t = a.transaction();
    ASSERT_TRUE(t.has_value());
    ASSERT_TRUE(t->put("vis/1", v).has_value());
    ASSERT_TRUE(t->put("vis/2", v).has_value());
    ASSERT_TRUE(t->commit().has_value());
    auto r = b.transaction();
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(*r->get("vis/1"), v);
    ASSERT_EQ(*r->get("vis/2"), v);
  }
}

// Single writes of one key from two connections at once all succeed: each waits for the other.
TEST_F(TransactionE2eTest, BlindWritesOfOneKeyWaitInsteadOfFailing) {
  std::atomic<int> failures{0};
  auto loop = [&](const std::string& who) {
    Client c = connect();
    for (int i = 0; i < 150; ++i) {
      if (!c.put("hot", who + std::to_string(i))) ++failures;
    }
  };
  std::thread t1(loop, "a"), t2(loop, "b");
  t1.join();
  t2.join();
  EXPECT_EQ(failures.load(), 0);
  // A blind write waits for an explicit transaction's pending write, then applies after it.
  Client a = connect(), b = connect();
  auto t = a.transaction();
  ASSERT_TRUE(t.has_value());
  ASSERT_TRUE(t->put("hot", "txn").has_value());
  std::thread blind([&] { EXPECT_TRUE(b.put("hot", "blind").has_value()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(t->commit().has_value());
  blind.join();
  EXPECT_EQ(*a.get("hot"), "blind");
}

// Transfers between accounts keep the total exact in every snapshot.
TEST_F(TransactionE2eTest, BankTransfersKeepEveryTotalExact) {
  constexpr int kAccounts = 5, kStart = 100;
  {
    Client c = connect();
    for (int i = 0; i < kAccounts; ++i) {
      ASSERT_TRUE(c.put("bank/" + std::to_string(i), std::to_string(kStart)).has_value());
    }
  }
  std::atomic<bool> stop{false};
  std::atomic<int> commits{0}, bad_totals{0};
  auto transfers = [&](unsigned seed) {
    Client c = connect();
    std::mt19937 rng(seed);
    for (int n = 0; n < 150; ++n) {
      const int from = static_cast<int>(rng() % kAccounts);
      const int to = (from + 1 + static_cast<int>(rng() % (kAccounts - 1))) % kAccounts;
      auto t = c.transaction();
      if (!t) continue;
      auto a = t->get("bank/" + std::to_string(from));
      auto b = t->get("bank/" + std::to_string(to));
      if (!a || !b) continue;
      const int amount = static_cast<int>(rng() % 10);
      if (!t->put("bank/" + std::to_string(from), std::to_string(std::stoi(*a) - amount))) continue;
      if (!t->put("bank/" + std::to_string(to), std::to_string(std::stoi(*b) + amount))) continue;
      if (t->commit()) ++commits;
    }
  };
  auto auditor = [&] {
    Client c = connect();
    while (!stop) {
      auto t = c.transaction();
      ASSERT_TRUE(t.has_value());
      auto listing = t->scan("bank/");
      ASSERT_TRUE(listing.has_value());
      int total = 0;
      for (const auto& [key, value] : *listing) total += std::stoi(value);
      if (total != kAccounts * kStart) ++bad_totals;
    }
  };
  std::thread audit(auditor);
  std::vector<std::thread> workers;
  for (unsigned s = 1; s <= 3; ++s) workers.emplace_back(transfers, s);
  for (auto& w : workers) w.join();
  stop = true;
  audit.join();
  EXPECT_EQ(bad_totals.load(), 0);
  EXPECT_GT(commits.load(), 0);
}

// Random transactions over a small key space; every committed one is recorded with what it read
// and wrote, and the history must have no dependency cycle.
TEST_F(TransactionE2eTest, RandomHistoriesAreSerializable) {
  constexpr int kKeys = 6, kWorkers = 4, kTxns = 120;
  std::vector<std::vector<CommittedTxn>> per_worker(kWorkers);
  auto work = [&](int w) {
    Client c = connect();
    std::mt19937 rng(static_cast<unsigned>(w) * 7919u + 1u);
    for (int n = 0; n < kTxns; ++n) {
      CommittedTxn rec;
      rec.name = "w" + std::to_string(w) + "t" + std::to_string(n);
      auto t = c.transaction();
      if (!t) continue;
      bool ok = true;
      const int ops = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < ops && ok; ++i) {
        const std::string key = "h/" + std::to_string(rng() % kKeys);
        const unsigned what = rng() % 10;
        auto note_read = [&](const std::string& k, const std::string& v) {
          if (rec.writes.count(k) == 0 && rec.reads.count(k) == 0) {
            rec.reads[k] = v.empty() ? std::nullopt : std::optional<std::string>(v);
          }
        };
        if (what < 4) {
          auto v = t->get(key);
          ok = v.has_value();
          if (ok) note_read(key, *v);
        } else if (what < 6) {
          auto listing = t->scan("h/");
          ok = listing.has_value();
          if (!ok) break;
          std::map<std::string, std::string> seen(listing->begin(), listing->end());
          for (int k = 0; k < kKeys; ++k) {
            const std::string kk = "h/" + std::to_string(k);
            note_read(kk, seen.count(kk) ? seen[kk] : std::string());
          }
        } else {
          const std::string value = rec.name + "." + std::to_string(i);
          ok = t->put(key, value).has_value();
          rec.writes[key] = value;
        }
      }
      if (!ok) continue;  // aborted by a write conflict, or the read failed
      auto ts = t->commit();
      if (!ts) continue;
      rec.commit_ts = *ts;
      per_worker[static_cast<std::size_t>(w)].push_back(std::move(rec));
    }
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) workers.emplace_back(work, w);
  for (auto& t : workers) t.join();
  std::vector<CommittedTxn> history;
  for (auto& v : per_worker) history.insert(history.end(), v.begin(), v.end());
  EXPECT_GT(history.size(), static_cast<std::size_t>(kWorkers * kTxns / 4));
  EXPECT_EQ(find_anomaly(history), "");
}

TEST(HistoryCheckerTest, FindsTheCyclesOfBrokenHistoriesAndAcceptsSerialOnes) {
  auto txn = [](std::string name, std::uint64_t ts,
                std::map<std::string, std::optional<std::string>> reads,
                std::map<std::string, std::string> writes) {
    return CommittedTxn{std::move(name), ts, std::move(reads), std::move(writes)};
  };
  struct Case {
    const char* name;
    std::vector<CommittedTxn> history;
    std::string want;
  };
  const Case cases[] = {
      {"write skew",
       {txn("T1", 1, {{"x", std::nullopt}}, {{"y", "1"}}),
        txn("T2", 2, {{"y", std::nullopt}}, {{"x", "2"}})},
       "cycle: T1 T2 T1"},
      {"lost update",
       {txn("T0", 1, {}, {{"x", "0"}}), txn("T1", 2, {{"x", "0"}}, {{"x", "1"}}),
        txn("T2", 3, {{"x", "0"}}, {{"x", "2"}})},
       "cycle: T1 T2 T1"},
      {"read of an aborted write",
       {txn("T1", 1, {{"x", "9"}}, {})},
       "T1 read x=9, which no committed write wrote"},
      {"serial transfers",
       {txn("T0", 1, {}, {{"a", "10"}, {"b", "0"}}),
        txn("T1", 2, {{"a", "10"}, {"b", "0"}}, {{"a", "5"}, {"b", "5"}}),
        txn("T2", 3, {{"a", "5"}, {"b", "5"}}, {{"a", "4"}, {"b", "6"}})},
       ""},
      {"read-only behind a writer",
       {txn("T1", 1, {}, {{"x", "1"}}), txn("R", 2, {{"x", std::nullopt}}, {})},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_anomaly(c.history), c.want);
  }
}

}  // namespace
}  // namespace kavrel::testing
