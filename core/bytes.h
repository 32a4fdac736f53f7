// Byte strings and little-endian encoding. Keys and values are byte strings held in
// std::string (any bytes, embedded zeros included); views are std::string_view.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kavrel {

using Bytes = std::string;
using BytesView = std::string_view;

inline void put_u8(Bytes& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }

template <class T>
inline void put_le(Bytes& out, T v) {
  char buf[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i) buf[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  out.append(buf, sizeof(T));
}
// The little-endian bytes of v on their own, e.g. to assemble a payload by hand.
template <class T>
inline Bytes le_bytes(T v) {
  Bytes out;
  put_le(out, v);
  return out;
}
inline void put_u16(Bytes& out, std::uint16_t v) { put_le(out, v); }
inline void put_u32(Bytes& out, std::uint32_t v) { put_le(out, v); }
inline void put_u64(Bytes& out, std::uint64_t v) { put_le(out, v); }

// Writes v at p (which must have room for sizeof(T) bytes).
template <class T>
inline void store_le(char* p, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Reads a little-endian T from p (which must hold sizeof(T) bytes).
template <class T>
inline T load_le(const char* p) {
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    v |= static_cast<T>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  return v;
}
inline std::uint16_t get_u16(const char* p) { return load_le<std::uint16_t>(p); }
inline std::uint32_t get_u32(const char* p) { return load_le<std::uint32_t>(p); }
inline std::uint64_t get_u64(const char* p) { return load_le<std::uint64_t>(p); }

// A bounds-checked cursor over a byte view for decoding payloads.
class ByteReader {
 public:
  explicit ByteReader(BytesView data) : data_(data) {}
  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t position() const { return pos_; }
  bool read_u16(std::uint16_t& v) { return read(v); }
  bool read_u32(std::uint32_t& v) { return read(v); }
  bool read_u64(std::uint64_t& v) { return read(v); }
  bool read_u8(std::uint8_t& v) { return read(v); }
  // A view of the next n bytes, or false when fewer remain.
  bool read_bytes(std::size_t n, BytesView& out) {
    if (remaining() < n) return false;
    out = data_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  BytesView rest() const { return data_.substr(pos_); }

 private:
  template <class T>
  bool read(T& v) {
    if (remaining() < sizeof(T)) return false;
    v = load_le<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return true;
  }
  BytesView data_;
  std::size_t pos_ = 0;
};

}  // namespace kavrel
