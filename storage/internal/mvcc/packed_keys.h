// Compact lists of keys: each key is stored as its length (LEB128, one byte below 128) followed
// by its bytes, back to back, instead of one std::string object (and heap block) per key.
//
// PackedKeys is an append-only list in insertion order, kept in chunks of up to 64 KiB so that
// appending to a long list never copies what is already there. SortedKeys holds ascending
// distinct keys in one buffer, with the offset of every 16th key, so that a lower bound is a
// binary search over those plus a short walk.
//
// Neither is synchronised; their owners lock them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace kavrel {
namespace packed {

inline void put_key(std::string& out, BytesView key) {
  std::uint64_t n = key.size();
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7f) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
  out.append(key);
}

inline std::size_t encoded_size(BytesView key) {
  std::size_t n = 1;
  for (std::uint64_t v = key.size(); v >= 0x80; v >>= 7) ++n;
  return n + key.size();
}

// Decodes the key at `pos` (which must be inside `buf`) and moves pos past it.
inline BytesView get_key(const std::string& buf, std::size_t& pos) {
  std::uint64_t n = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<unsigned char>(buf[pos++]);
    n |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (b < 0x80) break;
  }
  const BytesView key(buf.data() + pos, n);
  pos += n;
  return key;
}

}  // namespace packed

class PackedKeys {
 public:
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  void push_back(BytesView key) {
    const std::size_t need = packed::encoded_size(key);
    if (chunks_.empty()) chunks_.emplace_back();
    std::string* last = &chunks_.back();
    if (last->size() + need > last->capacity()) {
      if (!last->empty() && last->size() + need > kChunkBytes) {
        // The last chunk is full; a list this long is likely to fill the next one too.
        last = &chunks_.emplace_back();
        last->reserve(std::max(kChunkBytes, need));
      } else {
        grow(*last, need);
      }
    }
    packed::put_key(*last, key);
    ++count_;
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  void swap(PackedKeys& o) noexcept {
    chunks_.swap(o.chunks_);
    std::swap(count_, o.count_);
  }

  // Calls fn(BytesView) for every key, in insertion order.
  template <class F>
  void for_each(F&& fn) const {
    for (const std::string& chunk : chunks_) {
      for (std::size_t pos = 0; pos < chunk.size();) fn(packed::get_key(chunk, pos));
    }
  }

 private:
  // Doubles the chunk's capacity (up to kChunkBytes) with an exact allocation: std::string's own
  // growth would double past the chunk size.
  static void grow(std::string& chunk, std::size_t need) {
    std::string grown;
    grown.reserve(std::max(chunk.size() + need, std::min(kChunkBytes, 2 * chunk.capacity())));
    grown.append(chunk);
    chunk.swap(grown);
  }

  std::vector<std::string> chunks_;
  std::size_t count_ = 0;
};

class SortedKeys {
 public:
  static constexpr std::size_t kBlock = 16;  // keys per remembered offset

  // A position in the list; at end when done().
  class Cursor {
   public:
    bool done() const { return pos_ >= keys_->bytes_.size(); }
    BytesView key() const { return key_; }
    void next() {
      pos_ = next_;
      load();
    }

   private:
    friend class SortedKeys;
    Cursor(const SortedKeys* keys, std::size_t pos) : keys_(keys), pos_(pos) { load(); }
    void load() {
      if (done()) return;
      next_ = pos_;
      key_ = packed::get_key(keys_->bytes_, next_);
    }
    const SortedKeys* keys_;
    std::size_t pos_;
    std::size_t next_ = 0;
    BytesView key_;
  };

  void reserve(std::size_t keys, std::size_t bytes) {
    bytes_.reserve(bytes);
    blocks_.reserve(keys / kBlock + 1);
  }
  // Appends a key greater than every key already in the list.
  void push_back(BytesView key) {
    if (count_ % kBlock == 0) blocks_.push_back(bytes_.size());
    packed::put_key(bytes_, key);
    ++count_;
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Bytes of the packed keys.
  std::size_t bytes() const { return bytes_.size(); }

  Cursor begin() const { return Cursor(this, 0); }
  // The first key >= key.
  Cursor lower_bound(BytesView key) const {
    // The last block whose first key is below `key` holds the answer, or it is the next block's
    // first key.
    std::size_t lo = 0, hi = blocks_.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      std::size_t pos = blocks_[mid];
      if (packed::get_key(bytes_, pos) < key) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    Cursor c(this, lo == 0 ? 0 : blocks_[lo - 1]);
    while (!c.done() && c.key() < key) c.next();
    return c;
  }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> blocks_;  // offset of keys 0, kBlock, 2 * kBlock, ...
  std::size_t count_ = 0;
};

}  // namespace kavrel
