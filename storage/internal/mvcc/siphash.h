// SipHash, the keyed 64-bit hash of Aumasson and Bernstein, with a configurable number of
// compression rounds (C) and finalisation rounds (D). The SSI bloom filter uses SipHash-1-3;
// SipHash-2-4 is the reference variant and is what the test vectors pin down.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"

namespace kavrel {

// Incremental SipHash-C-D: write() any number of byte runs, then finish() once. The result is the
// same as hashing the concatenation of the runs in one piece.
template <int C, int D>
class SipHasher {
 public:
  SipHasher(std::uint64_t k0, std::uint64_t k1)
      : v0_(k0 ^ 0x736f6d6570736575ull),
        v1_(k1 ^ 0x646f72616e646f6dull),
        v2_(k0 ^ 0x6c7967656e657261ull),
        v3_(k1 ^ 0x7465646279746573ull) {}

  void write(BytesView data);
  void write_u64_le(std::uint64_t v);
  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t m);

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;  // up to 7 bytes not yet compressed, little-endian
  std::size_t tail_len_ = 0;
  std::uint64_t total_len_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

// One-shot forms.
std::uint64_t siphash_1_3(std::uint64_t k0, std::uint64_t k1, BytesView data);
std::uint64_t siphash_2_4(std::uint64_t k0, std::uint64_t k1, BytesView data);

extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

}  // namespace kavrel
