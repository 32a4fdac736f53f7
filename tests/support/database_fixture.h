// A test fixture over a Database in a fresh temporary directory, with helpers that run each
// operation in a transaction of its own, as the request handlers do. Header-only: the tests that
// use it link the storage library themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/internal/io/file_io.h"
#include "tests/support/temp_dir.h"

namespace kavrel::testing {

class DatabaseFixture : public ::testing::Test {
 protected:
  // A test may leave a fault plan of the I/O seam behind; the next test starts without one.
  void TearDown() override { io::set_fault_plan(std::nullopt); }

  // Opens (or reopens) the database in tmp_; nullptr, with a test failure, when that fails.
  std::shared_ptr<Database> open(const StorageEncryption& enc = {}) {
    auto db = Database::open(tmp_.path(), enc);
    EXPECT_TRUE(db) << db.error().message();
    return db ? *db : nullptr;
  }
  std::uint64_t begin(Database& db) {
    auto t = db.storage().begin_transaction();
    EXPECT_TRUE(t) << t.error().message();
    return t ? *t : 0;
  }
  // One write in a transaction of its own, as a PUT request does: the outcome of its commit.
  Result<std::uint64_t> try_put(Database& db, BytesView key, BytesView value) {
    const auto t = begin(db);
    if (auto w = db.storage().write_refs(t, key, value); !w) return fail(std::move(w.error()));
    return db.commit(t);
  }
  Result<std::uint64_t> try_del(Database& db, BytesView key) {
    const auto t = begin(db);
    if (auto w = db.storage().delete_key(t, key); !w) return fail(std::move(w.error()));
    return db.commit(t);
  }
  // The same, for writes that must succeed.
  void put(Database& db, BytesView key, BytesView value) {
    auto ts = try_put(db, key, value);
    ASSERT_TRUE(ts) << ts.error().message();
  }
  void del(Database& db, BytesView key) {
    auto ts = try_del(db, key);
    ASSERT_TRUE(ts) << ts.error().message();
  }
  // A read in a transaction of its own, as a GET or SCAN request does.
  std::optional<Bytes> get(Database& db, BytesView key) {
    const auto t = begin(db);
    auto v = db.get(t, key);
    EXPECT_TRUE(v) << v.error().message();
    EXPECT_TRUE(db.storage().abort(t));
    return v ? *v : std::nullopt;
  }
  std::vector<std::pair<Bytes, Bytes>> scan(Database& db, BytesView prefix) {
    const auto t = begin(db);
    auto v = db.scan_unchecked(t, prefix);
    EXPECT_TRUE(v) << v.error().message();
    EXPECT_TRUE(db.storage().abort(t));
    return v ? *v : std::vector<std::pair<Bytes, Bytes>>{};
  }

  TempDir tmp_;
};

}  // namespace kavrel::testing
