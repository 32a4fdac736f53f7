// Writes the seed corpora of the fuzz targets into <dir>/<target>/ (the checked-in
// tests/fuzz/corpus). Run from the fuzz build after a change of a format:
//   build/fuzz/tests/fuzz/fuzz_seed_corpus tests/fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/wire.h"
#include "storage/internal/crypto/keyring.h"
#include "storage/internal/wal/txn_wal.h"
#include "storage/table/packed_row.h"
#include "storage/users.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace kavrel;

std::filesystem::path g_out;

void seed(const std::string& target, const std::string& name, BytesView bytes) {
  const auto dir = g_out / target;
  std::filesystem::create_directories(dir);
  fuzz::write_file(dir / name, bytes);
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TxnWalEntry control(WalRecordType type, std::uint64_t txn) {
  return TxnWalEntry{{}, {}, txn, 1'700'000'000'000'000, static_cast<std::uint8_t>(type)};
}

void wal_record_seeds() {
  const std::uint64_t txn = (std::uint64_t{4242} << 32) | 7;
  seed("wal_record", "begin", TxnWalEntry::body_bytes(control(WalRecordType::Begin, txn)));
  seed("wal_record", "commit", TxnWalEntry::body_bytes(control(WalRecordType::Commit, txn)));
  seed("wal_record", "checkpoint", TxnWalEntry::body_bytes(control(WalRecordType::Checkpoint, 0)));
  const TxnWalEntry write{"users/1", "alice", txn, 1'700'000'000'000'001, 1};
  seed("wal_record", "write", TxnWalEntry::body_bytes(write));
  seed("wal_record", "write_trailing", TxnWalEntry::body_bytes(write) + "extra");
  seed("wal_record", "delete", TxnWalEntry::body_bytes(TxnWalEntry{"users/1", "", txn, 5, 2}));
  seed("wal_record", "reserved_97", TxnWalEntry::body_bytes(TxnWalEntry{"", "", txn, 5, 97}));
  const UserRecord user{"alice", Role::Admin, "app1/", "SCRAM-SHA-256$4096:c2FsdA==$a2V5:c2Vy"};
  seed("wal_record", "user",
       TxnWalEntry::body_bytes(TxnWalEntry{"alice", encode_user(user), 0, 5, 50}));
  seed("wal_record", "user_drop", TxnWalEntry::body_bytes(TxnWalEntry{"alice", "", 0, 5, 51}));
}

// A log of a few transactions written by TxnWal itself, plain or sealed with the fuzz key.
Bytes make_log(bool sealed) {
  const auto dir = fuzz::scratch_dir() / (sealed ? "sealed" : "plain");
  std::filesystem::create_directories(dir);
  {
    auto wal = TxnWal::open(dir, sealed ? fuzz::fuzz_engine() : nullptr, fuzz::kFuzzDbUuid,
                            fuzz::kFuzzKeyEpoch);
    if (!wal) std::abort();
    const auto next_txn_id = (*wal)->recover_state();
    if (!next_txn_id) std::abort();
    TxnWal& w = **wal;
    const std::uint64_t t1 = *next_txn_id, t2 = t1 + 1, t3 = t1 + 2;
    (void)w.append(control(WalRecordType::Begin, t1));
    TxnWalBuffer b1(t1);
    b1.append("a/1", "one");
    b1.append("a/2", "two");
    (void)w.write_buffer(b1);
    (void)w.append(control(WalRecordType::Commit, t1));
    (void)w.append(control(WalRecordType::Begin, t2));
    TxnWalBuffer b2(t2);
    b2.append_delete("a/1");
    (void)w.write_buffer(b2);
    (void)w.append(control(WalRecordType::Commit, t2));
    (void)w.append(control(WalRecordType::Begin, t3));
    (void)w.append(control(WalRecordType::Abort, t3));
    (void)w.append(control(WalRecordType::Checkpoint, 0));
    if (!w.sync()) std::abort();
  }
  return read_file(dir / "wal.log");
}

void wal_reader_seeds() {
  const Bytes plain = make_log(false);
  const Bytes sealed = make_log(true);
  seed("wal_reader", "plain", plain);
  seed("wal_reader", "plain_torn", plain.substr(0, plain.size() - 7));
  seed("wal_reader", "sealed", sealed);
  seed("wal_reader", "sealed_torn", sealed.substr(0, sealed.size() - 11));
}

void packed_row_seeds() {
  const std::vector<PackedColumnType> types = {PackedColumnType::Bool, PackedColumnType::Int,
                                               PackedColumnType::UInt, PackedColumnType::Float,
                                               PackedColumnType::Text, PackedColumnType::Binary};
  const std::vector<std::optional<KavValue>> values = {
      KavValue{true}, KavValue{std::int64_t{-42}},       KavValue{std::uint64_t{42}},
      KavValue{1.5},  KavValue{std::string("héllo, ;")}, KavValue{KavBinary{"\x00\x01\xff"}}};
  auto with_header = [](const std::vector<PackedColumnType>& t, const Bytes& row) {
    Bytes out;
    put_u8(out, static_cast<std::uint8_t>(t.size()));
    for (auto x : t) put_u8(out, static_cast<std::uint8_t>(x));
    return out + row;
  };
  seed("packed_row", "all_types", with_header(types, encode_packed_row(values, types)));
  std::vector<std::optional<KavValue>> some_null = values;
  some_null[1] = std::nullopt;
  some_null[4] = KavValue{};
  seed("packed_row", "with_nulls", with_header(types, encode_packed_row(some_null, types)));
  seed("packed_row", "tagged_int", encode_tagged_value(KavValue{std::int64_t{7}}));
  seed("packed_row", "tagged_text", encode_tagged_value(KavValue{std::string("text")}));
  seed("packed_row", "tagged_bool", encode_tagged_value(KavValue{false}));
  seed("packed_row", "tagged_binary", encode_tagged_value(KavValue{KavBinary{"\x80\x81"}}));
}

void manifest_seeds() {
  seed(
      "manifest", "compact",
      R"({"format_version":1,"db_uuid":"00112233445566778899aabbccddeeff","last_checkpoint_lsn":12})");
  seed("manifest", "array", R"([1,"x",3])");
  seed("manifest", "reordered",
       " {\n \"last_checkpoint_lsn\": 5, \"other\": [1, {\"a\": null}], \"db_uuid\": \"u\",\n"
       " \"format_version\": 1 }\n");
  seed("manifest", "version2", R"({"format_version":2,"db_uuid":"x","last_checkpoint_lsn":0})");
}

void keyring_seeds() {
  const auto dir = fuzz::scratch_dir() / "keyring-seed";
  auto created = keyring::load_or_init(dir, fuzz::fuzz_kek(), "fuzz", true);
  if (!created) std::abort();
  const std::string text = read_file(dir / keyring::kFileName);
  seed("keyring", "created", text);
  auto parsed = nlohmann::ordered_json::parse(text);
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (auto& [k, v] : parsed.items()) array.push_back(v);
  seed("keyring", "array", array.dump());
  parsed["comment"] = {1, 2, 3};
  seed("keyring", "extra_member", parsed.dump(1));
}

void protocol_seeds() {
  seed("protocol", "put", encode_put("users/1", "alice"));
  seed("protocol", "path", encode_path({"users", "1", "name"}, "value"));
  seed("protocol", "query", encode_query("users", 10, 2, {"name", "age"}));
  seed("protocol", "schema",
       encode_schema("users", {{"name", 3, false}, {"age", 0, true}, {"raw", 4, false}}));
  seed("protocol", "scan_listing", *encode_scan_listing({{"ab/1", "x"}, {"ab/2", ""}}));
  seed("protocol", "txn_handle", encode_txn_handle(3));
}

void connection_seeds() {
  auto frames = [](std::initializer_list<std::pair<std::uint8_t, Bytes>> list) {
    Bytes out;
    for (const auto& [op, payload] : list) out += encode_frame(op, payload);
    return out;
  };
  seed("connection", "key_value",
       frames({{opcode::PUT, encode_put("a/1", "x")},
               {opcode::GET, "a/1"},
               {opcode::PUT, encode_put("a/2", "y")},
               {opcode::SCAN, "a/"},
               {opcode::DELETE, "a/1"},
               {opcode::GET, "a/1"},
               {opcode::PING, ""}}));
  seed("connection", "transactions",
       frames({{opcode::BEGIN_TXN, ""},
               {opcode::BEGIN_TXN, ""},
               {opcode::COMMIT_TXN, encode_txn_handle(1)},
               {opcode::ABORT_TXN, encode_txn_handle(2)},
               {opcode::COMMIT_TXN, encode_txn_handle(9)},
               {opcode::ABORT_TXN, "\x01"}}));
  const std::vector<PackedColumnType> types = {PackedColumnType::Text, PackedColumnType::Int,
                                               PackedColumnType::Bool};
  const Bytes row = encode_packed_row(
      {KavValue{std::string("alice")}, KavValue{std::int64_t{30}}, KavValue{true}}, types);
  seed("connection", "tables",
       frames({{opcode::REGISTER_TABLE,
                encode_schema("tb", {{"name", 3, false}, {"age", 0, true}, {"ok", 5, false}})},
               {opcode::PUT, encode_put("tb/1", row)},
               {opcode::QUERY, encode_query("tb", 0, 0, {})},
               {opcode::PUT_PATH,
                encode_path({"pp", "1", "name"}, encode_tagged_value(KavValue{std::string("b")}))},
               {opcode::PUT_PATH,
                encode_path({"pp", "1", "age"}, encode_tagged_value(KavValue{std::int64_t{4}}))},
               {opcode::GET_PATH, encode_path({"pp", "1", "name"})},
               {opcode::QUERY, encode_query("pp", 1, 0, {"name"}, kQueryExactFloats)},
               {opcode::DROP_TABLE, "tb"},
               {opcode::DROP_TABLE, "tb"}}));
  seed("connection", "misc",
       frames({{opcode::CHECKPOINT, ""},
               {opcode::STATS, ""},
               {opcode::EXECUTE_SQL, "SELECT \"x\""},
               {0x42, ""},
               {opcode::PUT, "\x01\x02"},
               {opcode::SCAN, "a"}}));
  seed("connection", "cut_short",
       frames({{opcode::PING, ""}}) + encode_frame(opcode::PUT, encode_put("k", "v")).substr(0, 9));
  Bytes oversized;
  put_u8(oversized, opcode::PUT);
  put_u32(oversized, static_cast<std::uint32_t>(MAX_MESSAGE_SIZE + 1));
  seed("connection", "oversized", oversized);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  wal_record_seeds();
  wal_reader_seeds();
  packed_row_seeds();
  manifest_seeds();
  keyring_seeds();
  protocol_seeds();
  connection_seeds();
  std::printf("seeds written to %s\n", argv[1]);
  return 0;
}
