#include "storage/internal/mvcc/siphash.h"

#include <bit>

namespace kavrel {
namespace {

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

}  // namespace

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t m) {
  v3_ ^= m;
  for (int i = 0; i < C; ++i) sip_round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

template <int C, int D>
void SipHasher<C, D>::write(BytesView data) {
  total_len_ += data.size();
  std::size_t i = 0;
  // Complete a partial word left by an earlier write first.
  while (tail_len_ != 0 && i < data.size()) {
    tail_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i++])) << (8 * tail_len_);
    if (++tail_len_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_len_ = 0;
    }
  }
  for (; i + 8 <= data.size(); i += 8) compress(load_le<std::uint64_t>(data.data() + i));
  for (; i < data.size(); ++i) {
    tail_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * tail_len_++);
  }
}

template <int C, int D>
void SipHasher<C, D>::write_u64_le(std::uint64_t v) {
  char buf[8];
  store_le(buf, v);
  write(BytesView(buf, sizeof buf));
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() const {
  SipHasher copy = *this;
  // The last block carries the remaining bytes and the total length modulo 256 in its top byte.
  copy.compress(copy.tail_ | (copy.total_len_ << 56));
  copy.v2_ ^= 0xff;
  for (int i = 0; i < D; ++i) sip_round(copy.v0_, copy.v1_, copy.v2_, copy.v3_);
  return copy.v0_ ^ copy.v1_ ^ copy.v2_ ^ copy.v3_;
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

std::uint64_t siphash_1_3(std::uint64_t k0, std::uint64_t k1, BytesView data) {
  SipHasher13 h(k0, k1);
  h.write(data);
  return h.finish();
}

std::uint64_t siphash_2_4(std::uint64_t k0, std::uint64_t k1, BytesView data) {
  SipHasher24 h(k0, k1);
  h.write(data);
  return h.finish();
}

}  // namespace kavrel
