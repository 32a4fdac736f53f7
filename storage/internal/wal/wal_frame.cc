#include "storage/internal/wal/wal_frame.h"

namespace kavrel {

Bytes wal_frame_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch,
                    std::uint64_t sequence, std::uint8_t domain) {
  Bytes aad;
  aad.reserve(29);
  put_u8(aad, domain);
  aad.append(reinterpret_cast<const char*>(db_uuid.data()), db_uuid.size());
  put_u32(aad, key_epoch);
  put_u64(aad, sequence);
  return aad;
}

}  // namespace kavrel
