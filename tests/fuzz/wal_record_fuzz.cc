// Fuzzes the decoder of one log record body (TxnWalEntry::parse_body), and of a User record's
// value (decode_user). A body that decodes must encode back to the bytes it was read from (bytes
// after the checksum are ignored), and every refusal must be one of the decoder's own errors.
#include <cstddef>
#include <cstdint>

#include "storage/internal/wal/txn_wal_entry.h"
#include "storage/users.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavrel;
  const BytesView body = fuzz::view(data, size);
  auto entry = TxnWalEntry::parse_body(body);
  if (!entry) {
    const KavrelError& e = entry.error();
    FUZZ_CHECK(e.is_unexpected_eof() || e.kind() == KavrelError::Kind::Corruption);
    if (e.kind() == KavrelError::Kind::Corruption) FUZZ_CHECK(size > 0);
    return 0;
  }
  FUZZ_CHECK(is_accepted_record_type(entry->record_type));
  const std::size_t used = kBodyOverhead + entry->key.size() + entry->value.size();
  FUZZ_CHECK(used <= size);
  FUZZ_CHECK(TxnWalEntry::body_bytes(*entry) == body.substr(0, used));
  const Bytes record = TxnWalEntry::to_bytes(*entry);
  FUZZ_CHECK(record.size() == used + 4);
  FUZZ_CHECK(load_le<std::uint32_t>(record.data()) == used);
  auto again = TxnWalEntry::parse_body(BytesView(record).substr(4));
  FUZZ_CHECK(again && *again == *entry);
  // A User record's value reads as a user only when it is one, exactly, and then encodes back
  // to the same bytes.
  if (entry->record_type == static_cast<std::uint8_t>(WalRecordType::User)) {
    auto user = decode_user(entry->key, entry->value);
    if (user) {
      FUZZ_CHECK(user->name == entry->key && encode_user(*user) == entry->value);
    } else {
      FUZZ_CHECK(user.error().kind() == KavrelError::Kind::Corruption);
    }
  }
  return 0;
}
