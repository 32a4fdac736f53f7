#include "storage/table/query.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "storage/table/packed_row.h"

namespace kavrel {
namespace {

using Row = std::map<std::string, KavValue>;

const std::string kEmpty = "\xE2\x88\x85";
const std::string kShortPrefix1 =
    "Invalid argument: Prefix too short: 1 bytes (minimum 2 required). Use scan_unchecked() for "
    "unrestricted scans.";

KavValue i64(std::int64_t v) { return KavValue{v}; }
KavValue text(std::string s) { return KavValue{std::move(s)}; }

// A store in ascending key order behind the same guard as the database's scan_path: prefixes
// shorter than 2 bytes are refused before the store is touched. A multimap, so a test can make
// the scan return one key twice.
class QueryTest : public testing::Test {
 protected:
  PathScanFn scan_fn() {
    return [this](std::string_view prefix) -> Result<PathEntries> {
      prefixes_.emplace_back(prefix);
      if (scan_error_) return fail(*scan_error_);
      if (prefix.size() < 2) {
        return fail(KavrelError::invalid_argument(fmt::format(
            "Prefix too short: {} bytes (minimum {} required). Use scan_unchecked() for "
            "unrestricted scans.",
            prefix.size(), 2)));
      }
      PathEntries out;
      for (auto it = store_.lower_bound(std::string(prefix));
           it != store_.end() && it->first.starts_with(prefix); ++it) {
        out.emplace_back(it->first, it->second);
      }
      return out;
    };
  }

  QueryBuilder query(std::string path) { return QueryBuilder(tables_, scan_fn(), std::move(path)); }

  void register_table(const std::string& name, std::vector<ColumnDef> columns) {
    ASSERT_TRUE(tables_.register_table({name, std::move(columns)}).has_value());
  }

  // Stores a packed row for the registered table's schema.
  void put_row(const std::string& key, const std::vector<std::optional<KavValue>>& values) {
    const std::string table = key.substr(0, key.find('/'));
    const auto schema = tables_.packed_schema(table);
    ASSERT_TRUE(schema.has_value()) << table;
    std::vector<PackedColumnType> types;
    for (const auto& c : schema->columns) types.push_back(c.packed_type);
    store_.emplace(key, encode_packed_row(values, types));
  }

  void put_tagged(const std::string& key, const KavValue& value) {
    store_.emplace(key, encode_tagged_value(value));
  }

  // The users table: id Int not null, name Text nullable.
  void make_users() {
    register_table("users", {{"id", ColumnType::Int, false}, {"name", ColumnType::Text, true}});
  }

  QueryResult run(const QueryBuilder& q) {
    auto r = q.execute();
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : QueryResult{};
  }

  TableRegistry tables_;
  std::multimap<std::string, Bytes> store_;
  std::vector<std::string> prefixes_;
  std::optional<KavrelError> scan_error_;
};

TEST_F(QueryTest, RegisteredTableReadsPackedRowsAndIgnoresOtherLayouts) {
  make_users();
  put_row("users/1", {i64(1), text("alice")});
  put_row("users/2", {i64(2), text("bob")});
  put_tagged("users/1/x", i64(99));  // a path row: not a packed-row key
  store_.emplace(
      "users2/1",
      encode_packed_row({i64(3)},
                        {PackedColumnType::Int}));  // another table sharing the name's prefix
  store_.emplace("users", "junk");
  const QueryResult r = run(query("users"));
  EXPECT_EQ(prefixes_, std::vector<std::string>{"users/"});
  EXPECT_EQ(r.columns, (std::vector<std::string>{"id", "name"}));
  EXPECT_EQ(r.rows, (std::vector<Row>{{{"id", i64(1)}, {"name", text("alice")}},
                                      {{"id", i64(2)}, {"name", text("bob")}}}));
  EXPECT_EQ(r.to_toon(), "result[2]{id,name}:1,alice;2,bob");
}

TEST_F(QueryTest, RowPathScansEveryKeyWithThatPrefix) {
  make_users();
  put_row("users/1", {i64(1), text("a")});
  put_row("users/10", {i64(10), text("b")});
  put_row("users/2", {i64(2), text("c")});
  const QueryResult r = run(query("users/1"));
  EXPECT_EQ(prefixes_, std::vector<std::string>{"users/1"});
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0].at("id"), i64(1));
  EXPECT_EQ(r.rows[1].at("id"), i64(10));
}

TEST_F(QueryTest, NullsOfNonNullableColumnsAreDroppedAndEmptyRowsSkipped) {
  register_table("t", {{"a", ColumnType::Int, false}, {"b", ColumnType::Text, false}});
  register_table("n", {{"a", ColumnType::Int, true}, {"b", ColumnType::Text, false}});
  put_row("t/all_null", {std::nullopt, std::nullopt});
  put_row("t/half", {i64(5), std::nullopt});
  put_row("n/all_null", {std::nullopt, std::nullopt});
  EXPECT_EQ(run(query("t")).rows, (std::vector<Row>{{{"a", i64(5)}}}));
  // The nullable column keeps its Null, so the row survives.
  const QueryResult n = run(query("n"));
  EXPECT_EQ(n.rows, (std::vector<Row>{{{"a", KavValue{}}}}));
  EXPECT_EQ(n.to_toon(), "result[1]{a}:" + kEmpty);
}

TEST_F(QueryTest, RowsTooShortAreSkipped) {
  make_users();
  put_row("users/1", {i64(1), text("a")});
  store_.emplace("users/2", Bytes(8, '\0'));  // 9 bytes needed for two columns
  put_row("users/3", {i64(3), std::nullopt});
  const QueryResult r = run(query("users"));
  EXPECT_EQ(r.rows, (std::vector<Row>{{{"id", i64(1)}, {"name", text("a")}},
                                      {{"id", i64(3)}, {"name", KavValue{}}}}));
}

TEST_F(QueryTest, PagingDropsOffsetThenKeepsLimit) {
  register_table("t", {{"v", ColumnType::Text, false}});
  put_row("t/a", {text("a")});
  put_row("t/b", {text("b")});
  put_row("t/c", {text("c")});
  struct Case {
    std::optional<std::uint64_t> offset, limit;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, {"a", "b", "c"}},
      {1, 1, {"b"}},
      {5, std::nullopt, {}},
      {3, std::nullopt, {}},
      {2, 10, {"c"}},
      {std::nullopt, 2, {"a", "b"}},
      {std::nullopt, 0, {}},
      {0, 3, {"a", "b", "c"}},
      {UINT64_MAX, UINT64_MAX, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "offset " << c.offset.value_or(0) << " limit " << c.limit.value_or(0));
    QueryBuilder q = query("t");
    q.offset = c.offset;
    q.limit = c.limit;
    const QueryResult r = run(q);
    std::vector<std::string> got;
    for (const Row& row : r.rows) got.push_back(std::get<std::string>(row.at("v").v));
    EXPECT_EQ(got, c.want);
    // Columns come from the rows left after paging.
    EXPECT_EQ(r.columns,
              c.want.empty() ? std::vector<std::string>{} : std::vector<std::string>{"v"});
  }
  QueryBuilder q = query("t");
  q.offset = 5;
  EXPECT_EQ(q.to_toon(), "[]");
}

TEST_F(QueryTest, SelectionKeepsRequestedNamesAndReturnsSelectedNulls) {
  make_users();
  put_row("users/1", {i64(1), text("alice")});
  put_row("users/2", {std::nullopt, text("bob")});  // id is not nullable, yet selected
  QueryBuilder q = query("users");
  q.columns({"name"}).columns({"id", "missing", "id"});  // the second call replaces the first
  const QueryResult r = run(q);
  EXPECT_EQ(r.columns, (std::vector<std::string>{"id", "missing", "id"}));
  EXPECT_EQ(r.rows, (std::vector<Row>{{{"id", i64(1)}}, {{"id", KavValue{}}}}));
  EXPECT_EQ(r.to_toon(),
            "result[2]{id,missing,id}:1," + kEmpty + ",1;" + kEmpty + "," + kEmpty + "," + kEmpty);
}

TEST_F(QueryTest, SelectionOfOnlyMissingNamesReturnsNoRows) {
  make_users();
  put_row("users/1", {i64(1), text("alice")});
  QueryBuilder q = query("users");
  q.columns({"nope", "neither"});
  const QueryResult r = run(q);
  EXPECT_TRUE(r.rows.empty());
  EXPECT_EQ(r.columns, (std::vector<std::string>{"nope", "neither"}));
  EXPECT_EQ(q.to_toon(), "[]");
}

TEST_F(QueryTest, DuplicateSchemaNamesLaterWinsUnlessSelectedThenFirst) {
  register_table("d", {{"a", ColumnType::Int, false},
                       {"a", ColumnType::Text, false},
                       {"b", ColumnType::Bool, false}});
  put_row("d/1", {i64(1), text("second"), KavValue{true}});
  EXPECT_EQ(run(query("d")).rows,
            (std::vector<Row>{{{"a", text("second")}, {"b", KavValue{true}}}}));
  QueryBuilder q = query("d");
  q.columns({"a"});
  EXPECT_EQ(run(q).rows, (std::vector<Row>{{{"a", i64(1)}}}));
}

TEST_F(QueryTest, ColumnTypesDecodeWithTheirPackedCodes) {
  register_table("types", {{"i", ColumnType::Int, false},
                           {"u", ColumnType::UInt, false},
                           {"f", ColumnType::Float, false},
                           {"s", ColumnType::Text, false},
                           {"bin", ColumnType::Binary, false},
                           {"flag", ColumnType::Bool, false}});
  put_row("types/1", {i64(-1), KavValue{std::uint64_t{2}}, KavValue{0.5}, text("x;y"),
                      KavValue{KavBinary{Bytes("\x00\x01\x02", 3)}}, KavValue{true}});
  QueryBuilder q = query("types");
  q.columns({"i", "u", "f", "s", "bin", "flag"});
  EXPECT_EQ(q.to_toon(), "result[1]{i,u,f,s,bin,flag}:-1,2,0.500000,\"x;y\",b64:AAEC,T");
}

TEST_F(QueryTest, ZeroColumnTableReturnsNoRows) {
  register_table("empty", {});
  store_.emplace("empty/1", "anything");
  const QueryResult r = run(query("empty"));
  EXPECT_TRUE(r.rows.empty());
  EXPECT_TRUE(r.columns.empty());
}

TEST_F(QueryTest, UnregisteredTableGroupsPathRowsById) {
  put_tagged("t1/a/x", i64(1));
  put_tagged("t1/a/y", text("ay"));
  put_tagged("t1/b/x", i64(2));
  put_tagged("t1/c", i64(3));  // two segments: not a path row
  const QueryResult r = run(query("t1"));
  EXPECT_EQ(prefixes_, std::vector<std::string>{"t1"});
  ASSERT_EQ(r.rows.size(), 2u);
  std::set<std::string> cols(r.columns.begin(), r.columns.end());
  EXPECT_EQ(r.columns.size(), cols.size()) << "each name once";
  EXPECT_EQ(cols, (std::set<std::string>{"x", "y"}));
  const Row a{{"x", i64(1)}, {"y", text("ay")}}, b{{"x", i64(2)}};
  for (const Row& want : {a, b}) {
    EXPECT_EQ(std::count(r.rows.begin(), r.rows.end(), want), 1);
  }
}

TEST_F(QueryTest, UnregisteredPrefixAlsoMatchesLongerTableNames) {
  put_tagged("users/1/name", text("a"));
  put_tagged("users2/1/name", text("b"));
  QueryBuilder q = query("users");
  q.offset = 0;
  const QueryResult r = run(q);
  EXPECT_EQ(prefixes_, std::vector<std::string>{"users"});
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.columns, std::vector<std::string>{"name"});
}

TEST_F(QueryTest, PathRowSelectionSkipsUnselectedColumns) {
  put_tagged("t1/a/x", i64(1));
  put_tagged("t1/a/y", text("ay"));
  put_tagged("t1/b/x", i64(2));
  QueryBuilder q = query("t1");
  q.columns({"y", "w"});
  const QueryResult r = run(q);
  EXPECT_EQ(r.columns, (std::vector<std::string>{"y", "w"}));
  EXPECT_EQ(r.rows, (std::vector<Row>{{{"y", text("ay")}}}));
}

TEST_F(QueryTest, PathRowColumnIsEverythingAfterTheRowId) {
  put_tagged("a/b/c", text("abc"));
  put_tagged("users/42/address/city", text("Oslo"));
  put_tagged("users/42/name", text("Ann"));
  const QueryResult abc = run(query("a/b"));
  EXPECT_EQ(abc.rows, (std::vector<Row>{{{"c", text("abc")}}}));
  const QueryResult users = run(query("users"));
  EXPECT_EQ(users.rows,
            (std::vector<Row>{{{"address/city", text("Oslo")}, {"name", text("Ann")}}}));
}

TEST_F(QueryTest, LaterPathEntryForSameColumnReplacesEarlier) {
  store_.emplace("t1/a/x", encode_tagged_value(i64(1)));
  store_.emplace("t1/a/x", encode_tagged_value(i64(2)));
  EXPECT_EQ(run(query("t1")).rows, (std::vector<Row>{{{"x", i64(2)}}}));
}

TEST_F(QueryTest, PathRowValuesFallBackToText) {
  store_.emplace("t1/a/x", "\x07x");
  store_.emplace("t1/a/y", "");
  EXPECT_EQ(run(query("t1")).rows, (std::vector<Row>{{{"x", text("\x07x")}, {"y", KavValue{}}}}));
}

TEST_F(QueryTest, OneLetterTableScansWithSlashOnlyWhenRegistered) {
  store_.emplace("t/1", encode_packed_row({i64(1)}, {PackedColumnType::Int}));
  // Unregistered: the one-byte path itself is the prefix, which the guarded scan refuses.
  auto r = query("t").execute();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::InvalidArgument);
  EXPECT_EQ(r.error().message(), kShortPrefix1);
  EXPECT_EQ(prefixes_, std::vector<std::string>{"t"});
  auto toon = query("t").to_toon();
  ASSERT_FALSE(toon.has_value());
  EXPECT_EQ(toon.error().message(), kShortPrefix1);

  prefixes_.clear();
  register_table("t", {{"v", ColumnType::Int, false}});
  EXPECT_EQ(query("t").to_toon(), "result[1]{v}:1");
  EXPECT_EQ(prefixes_, std::vector<std::string>{"t/"});
}

TEST_F(QueryTest, ScanErrorIsReturnedUnchanged) {
  make_users();
  scan_error_ = KavrelError::io(5);
  auto r = query("users").execute();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), KavrelError::Kind::Io);
  EXPECT_EQ(r.error().os_error(), 5);
  EXPECT_EQ(r.error().message(), KavrelError::io(5).message());
}

TEST_F(QueryTest, RegistrationAfterWritesTakesEffectForLaterQueries) {
  // The same keys read as path rows before registration and as packed rows after it.
  store_.emplace("late/1", encode_packed_row({i64(7)}, {PackedColumnType::Int}));
  put_tagged("late/1/v", i64(8));
  EXPECT_EQ(run(query("late")).rows, (std::vector<Row>{{{"v", i64(8)}}}));
  register_table("late", {{"v", ColumnType::Int, false}});
  EXPECT_EQ(run(query("late")).rows, (std::vector<Row>{{{"v", i64(7)}}}));
}

}  // namespace
}  // namespace kavrel
