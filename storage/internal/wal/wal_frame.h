// The framing of the log and the snapshot files.
//
// A plain file is the concatenation of records exactly as TxnWalEntry::to_bytes produces them;
// there is no file header. An encrypted file is a concatenation of frames, one per record:
//
//   offset  width  field
//   0       4      frame length  u32 = record body length + 29
//   4      ...     EncryptionEngine::encrypt_with_aad(body, aad): 0x01 | nonce | ciphertext | tag
//
// The 29 bytes of additional data are not stored: domain | db_uuid (16) | key_epoch (u32) |
// sequence (u64), the sequence of frame n of the file being n. A frame moved, dropped from the
// middle, copied from another database or sealed under another key epoch fails authentication.
#pragma once

#include <array>
#include <cstdint>

#include "core/bytes.h"

namespace kavrel {

// Log frames are bound to domain 0x01, snapshot frames to 0x02, so that neither opens as the other.
inline constexpr std::uint8_t kLogFrameDomain = 0x01;
inline constexpr std::uint8_t kSnapshotFrameDomain = 0x02;

// The 29 bytes of additional data bound into the frame with the given sequence number.
Bytes wal_frame_aad(const std::array<std::uint8_t, 16>& db_uuid, std::uint32_t key_epoch,
                    std::uint64_t sequence, std::uint8_t domain = kLogFrameDomain);

}  // namespace kavrel
