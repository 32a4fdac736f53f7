#include "storage/internal/wal/txn_wal_entry.h"

#include <time.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

namespace kavrel {
namespace {

std::uint32_t crc_update(std::uint32_t crc, const char* data, std::size_t n) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(n)));
}

// Writes the 25 fixed bytes of a body at p.
void store_body_header(char* p, std::uint8_t record_type, std::uint64_t txn_id,
                       std::uint64_t timestamp_us, std::uint32_t key_len, std::uint32_t value_len) {
  p[0] = static_cast<char>(record_type);
  store_le<std::uint64_t>(p + 1, txn_id);
  store_le<std::uint64_t>(p + 9, timestamp_us);
  store_le<std::uint32_t>(p + 17, key_len);
  store_le<std::uint32_t>(p + 21, value_len);
}

// Writes the body (without body_len) at p, which has room for 29 + key + value bytes.
void store_body(char* p, std::uint8_t record_type, std::uint64_t txn_id, std::uint64_t timestamp_us,
                BytesView key, BytesView value) {
  store_body_header(p, record_type, txn_id, timestamp_us, static_cast<std::uint32_t>(key.size()),
                    static_cast<std::uint32_t>(value.size()));
  char* k = p + kBodyHeaderSize;
  if (!key.empty()) std::memcpy(k, key.data(), key.size());
  char* v = k + key.size();
  if (!value.empty()) std::memcpy(v, value.data(), value.size());
  const std::size_t covered = kBodyHeaderSize + key.size() + value.size();
  store_le<std::uint32_t>(p + covered, crc_update(0, p, covered));
}

[[noreturn]] void fatal_clock() {
  std::fputs("system clock set before UNIX epoch (1970-01-01)\n", stderr);
  std::abort();
}

std::uint64_t read_wall_clock_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) fatal_clock();
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

struct TsCache {
  bool initialized = false;
  std::chrono::steady_clock::time_point instant;
  std::uint64_t wall_us = 0;
};
thread_local TsCache t_ts_cache;

}  // namespace

bool is_accepted_record_type(std::uint8_t code) {
  switch (code) {
    case 1:
    case 2:
    case 3:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 32:
    case 33:
    case 48:
    case 49:
    case 50:
    case 51:
    case 64:
    case 80:
    case 81:
    case 96:
    case 97: return true;
    default: return false;
  }
}

void append_record(Bytes& out, std::uint8_t record_type, std::uint64_t txn_id,
                   std::uint64_t timestamp_us, BytesView key, BytesView value) {
  const std::size_t start = out.size();
  const std::size_t body_len = kBodyOverhead + key.size() + value.size();
  out.resize(start + 4 + body_len);
  char* p = out.data() + start;
  store_le<std::uint32_t>(p, static_cast<std::uint32_t>(body_len));
  store_body(p + 4, record_type, txn_id, timestamp_us, key, value);
}

// std::string::resize_and_overwrite is avoided: libstdc++ 12 can size the result wrongly.
Bytes TxnWalEntry::to_bytes(const TxnWalEntry& e) {
  Bytes out;
  append_record(out, e.record_type, e.txn_id, e.timestamp_us, e.key, e.value);
  return out;
}

Bytes TxnWalEntry::body_bytes(const TxnWalEntry& e) {
  Bytes out(kBodyOverhead + e.key.size() + e.value.size(), '\0');
  store_body(out.data(), e.record_type, e.txn_id, e.timestamp_us, e.key, e.value);
  return out;
}

std::uint32_t TxnWalEntry::checksum(const TxnWalEntry& e) {
  char header[kBodyHeaderSize];
  store_body_header(header, e.record_type, e.txn_id, e.timestamp_us,
                    static_cast<std::uint32_t>(e.key.size()),
                    static_cast<std::uint32_t>(e.value.size()));
  std::uint32_t crc = crc_update(0, header, sizeof header);
  crc = crc_update(crc, e.key.data(), e.key.size());
  return crc_update(crc, e.value.data(), e.value.size());
}

Result<TxnWalEntry> TxnWalEntry::parse_body(BytesView body) {
  auto view = view_body(body);
  if (!view) return fail(std::move(view.error()));
  return from_view(*view);
}

TxnWalEntry TxnWalEntry::from_view(const TxnWalEntryView& view) {
  TxnWalEntry e;
  e.record_type = view.record_type;
  e.txn_id = view.txn_id;
  e.timestamp_us = view.timestamp_us;
  e.key.assign(view.key);
  e.value.assign(view.value);
  return e;
}

Result<TxnWalEntryView> TxnWalEntry::view_body(BytesView body) {
  const std::size_t n = body.size();
  if (n == 0) return fail(KavrelError::unexpected_eof());
  const auto type = static_cast<std::uint8_t>(body[0]);
  if (!is_accepted_record_type(type)) {
    return fail(KavrelError::corruption(fmt::format("Invalid record type: {}", type)));
  }
  if (n <= 24) return fail(KavrelError::unexpected_eof());
  const char* p = body.data();
  const std::uint64_t txn_id = get_u64(p + 1);
  const std::uint32_t key_len = get_u32(p + 17);
  const std::uint32_t value_len = get_u32(p + 21);
  // Every length is checked against n before the key or the value is looked at.
  std::size_t rest = n - kBodyHeaderSize;  // n >= 25 here
  if (rest < key_len) return fail(KavrelError::unexpected_eof());
  rest -= key_len;
  if (rest < value_len) return fail(KavrelError::unexpected_eof());
  rest -= value_len;
  if (rest < 4) return fail(KavrelError::unexpected_eof());

  // The body's fixed fields are the checksum's header exactly as written, so the checksum runs
  // over one contiguous range.
  const std::size_t covered = kBodyHeaderSize + key_len + value_len;
  const std::uint32_t stored = get_u32(p + covered);
  const std::uint32_t computed = crc_update(0, p, covered);
  if (computed != stored) {
    return fail(KavrelError::corruption(fmt::format(
        "WAL checksum mismatch for txn_id {}: expected {}, got {}", txn_id, computed, stored)));
  }
  TxnWalEntryView v;
  v.record_type = type;
  v.txn_id = txn_id;
  v.timestamp_us = get_u64(p + 9);
  v.key = BytesView(p + kBodyHeaderSize, key_len);
  v.value = BytesView(p + kBodyHeaderSize + key_len, value_len);
  return v;
}

std::uint64_t ts_cache_now_us() {
  TsCache& c = t_ts_cache;
  const auto now = std::chrono::steady_clock::now();
  if (c.initialized) {
    const auto elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.instant);
    const std::int64_t ns = elapsed_ns.count() < 0 ? 0 : elapsed_ns.count();
    if (ns < 1'000'000) return c.wall_us + static_cast<std::uint64_t>(ns) / 1000u;
  }
  c.wall_us = read_wall_clock_us();
  c.instant = now;
  c.initialized = true;
  return c.wall_us;
}

}  // namespace kavrel
