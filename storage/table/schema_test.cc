#include "storage/table/schema.h"

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel {
namespace {

TEST(SchemaTest, PackedSchemaMapsWireCodesToCodecCodes) {
  const TableSchema schema{"t",
                           {{"i", ColumnType::Int, false},
                            {"u", ColumnType::UInt, true},
                            {"f", ColumnType::Float, false},
                            {"s", ColumnType::Text, true},
                            {"b", ColumnType::Binary, false},
                            {"flag", ColumnType::Bool, true}}};
  const PackedTableSchema packed = to_packed_schema(schema);
  EXPECT_EQ(packed.name, "t");
  ASSERT_EQ(packed.columns.size(), 6u);
  const std::uint8_t want_codes[] = {1, 2, 3, 4, 5, 0};
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<std::uint8_t>(schema.columns[i].column_type), i);
    EXPECT_EQ(static_cast<std::uint8_t>(packed.columns[i].packed_type), want_codes[i]);
    EXPECT_EQ(packed.columns[i].name, schema.columns[i].name);
    EXPECT_EQ(packed.columns[i].nullable, schema.columns[i].nullable);
  }
}

TEST(SchemaTest, SecondRegistrationFailsAndKeepsFirstSchema) {
  TableRegistry registry;
  ASSERT_TRUE(registry.register_table({"users", {{"id", ColumnType::Int, false}}}).has_value());
  auto again = registry.register_table({"users", {{"name", ColumnType::Text, true}}});
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind(), KavrelError::Kind::InvalidArgument);
  EXPECT_EQ(again.error().message(), "Invalid argument: Table 'users' already exists");

  const auto table = registry.table("users");
  ASSERT_TRUE(table.has_value());
  ASSERT_EQ(table->columns.size(), 1u);
  EXPECT_EQ(table->columns[0].name, "id");
  const auto packed = registry.packed_schema("users");
  ASSERT_TRUE(packed.has_value());
  ASSERT_EQ(packed->columns.size(), 1u);
  EXPECT_EQ(packed->columns[0].name, "id");
  EXPECT_EQ(packed->columns[0].packed_type, PackedColumnType::Int);
}

TEST(SchemaTest, AnyNameAndZeroColumnsRegister) {
  TableRegistry registry;
  EXPECT_TRUE(registry.register_table({"", {}}).has_value());
  EXPECT_TRUE(registry.register_table({"a/b", {}}).has_value());
  EXPECT_TRUE(
      registry
          .register_table({"dup", {{"x", ColumnType::Int, false}, {"x", ColumnType::Int, false}}})
          .has_value());
  ASSERT_TRUE(registry.table("").has_value());
  EXPECT_TRUE(registry.packed_schema("")->columns.empty());
  EXPECT_EQ(registry.table("dup")->columns.size(), 2u);
  EXPECT_FALSE(registry.table("unknown").has_value());
  EXPECT_FALSE(registry.packed_schema("unknown").has_value());
}

TEST(SchemaTest, ConcurrentRegistrationsOfOneNameHaveOneWinner) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    TableRegistry registry;
    const std::string name = "race" + std::to_string(round);
    std::atomic<int> successes{0};
    std::atomic<int> winner{-1};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        const std::string column = "col" + std::to_string(t);
        if (registry.register_table({name, {{column, ColumnType::Int, false}}})) {
          successes.fetch_add(1);
          winner.store(t);
        }
      });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(successes.load(), 1) << "round " << round;
    // Both registries hold the winner's schema, not a mix of two registrations.
    const std::string want = "col" + std::to_string(winner.load());
    EXPECT_EQ(registry.table(name)->columns.at(0).name, want);
    EXPECT_EQ(registry.packed_schema(name)->columns.at(0).name, want);
  }
}

}  // namespace
}  // namespace kavrel
