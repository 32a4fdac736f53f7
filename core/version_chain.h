// The versions of one key: committed versions newest first, plus at most one pending version.
//
// A chain holds the committed versions of a key sorted by commit timestamp, descending, and one
// slot for an uncommitted version. The slot belongs to one transaction at a time: the first
// writer fills it, later writes of the same transaction replace its value, writes of any other
// transaction are refused until the slot is emptied by commit (which moves the version into the
// committed list) or by the sweep of an aborted transaction.
//
// Visibility: a reader sees its own pending version if it owns the slot; otherwise the newest
// committed version whose commit timestamp is strictly below the reader's snapshot.
//
// Pruning: prune(H) keeps every version with commit_ts >= H and the newest one below H, and drops
// the older ones. A reader whose snapshot is >= H sees the same version before and after.
//
// Layout, built for memory: almost every key has exactly one version, so a chain is a pointer to
// its head record, and a record holds one version together with the key's bytes in one
// allocation. The head is the pending version if there is one, else the newest committed version
// (or, for a key whose only write was swept, an empty record that holds just the key). Only a
// head with older versions behind it carries a link to them: an OlderVersions array of records,
// newest first, which exists only while there are such versions. A record that stays behind the
// head after a commit is stored without the key (the head has it); when it becomes the head
// again (a sweep restores the previous one), it is copied with the key.
//
// A chain is not synchronised; its owner (the memtable) guards it with a lock. Keys and values
// are below 4 GiB.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace kavrel {

// What a write did to the pending slot.
enum class ChainWrite : std::uint8_t {
  Installed,  // the slot was empty and now belongs to the writer
  Replaced,   // the writer already owned the slot; its value was replaced
  Conflict,   // another transaction owns the slot; nothing changed
};

class OlderVersions;

// One version of a key, with the key's bytes, in one allocation:
//   offset  0  stamp       u64  commit timestamp; the owner's transaction id while pending
//   offset  8  key size    u32
//   offset 12  value size  u32
//   offset 16  flags       u8   kPending, kTombstone, kEmpty, kLink
//   offset 24  link        OlderVersions*, only with kLink
//   then the key's bytes, then the value's bytes (at offset 17 without a link, 32 with one)
class VersionRecord {
 public:
  VersionRecord() = delete;

  BytesView key() const { return {bytes(), key_size()}; }
  // The value; nullopt for a tombstone (or an empty record).
  std::optional<BytesView> value() const {
    if ((flags() & (kTombstone | kEmpty)) != 0) return std::nullopt;
    return BytesView(bytes() + key_size(), value_size());
  }
  bool pending() const { return (flags() & kPending) != 0; }
  bool tombstone() const { return (flags() & kTombstone) != 0; }
  // A record without any version (the key's only write was swept).
  bool empty() const { return (flags() & kEmpty) != 0; }
  std::uint64_t txn_id() const { return pending() ? stamp() : 0; }
  std::uint64_t commit_ts() const { return pending() || empty() ? 0 : stamp(); }
  // Bytes of the allocation.
  std::size_t allocated_size() const { return size_for(key_size(), value_size(), has_link()); }

 private:
  friend class VersionChain;
  friend class ChainView;

  static constexpr std::uint8_t kPending = 1, kTombstone = 2, kEmpty = 4, kLink = 8;
  static constexpr std::size_t kPlainHeader = 17, kLinkedHeader = 32;

  static std::size_t size_for(std::size_t key, std::size_t value, bool link) {
    return (link ? kLinkedHeader : kPlainHeader) + key + value;
  }
  // A new record; a pending record's stamp is its transaction id. With kLink, the link is null.
  static VersionRecord* create(BytesView key, std::optional<BytesView> value, std::uint64_t stamp,
                               std::uint8_t flags) {
    if (!value) flags |= (flags & kEmpty) != 0 ? 0 : kTombstone;
    const std::size_t value_size = value ? value->size() : 0;
    const bool link = (flags & kLink) != 0;
    char* p = static_cast<char*>(::operator new(size_for(key.size(), value_size, link)));
    store(p, stamp);
    store(p + 8, static_cast<std::uint32_t>(key.size()));
    store(p + 12, static_cast<std::uint32_t>(value_size));
    p[16] = static_cast<char>(flags);
    char* data = p + (link ? kLinkedHeader : kPlainHeader);
    if (link) store(p + 24, static_cast<OlderVersions*>(nullptr));
    if (!key.empty()) std::memcpy(data, key.data(), key.size());
    if (value_size != 0) std::memcpy(data + key.size(), value->data(), value_size);
    return reinterpret_cast<VersionRecord*>(p);
  }
  static void destroy(VersionRecord* r) { ::operator delete(static_cast<void*>(r)); }

  template <class T>
  static void store(char* p, T v) {
    // NOLINTNEXTLINE(bugprone-sizeof-expression): T may be a pointer, stored as it is
    std::memcpy(p, static_cast<const void*>(&v), sizeof(T));
  }
  template <class T>
  T load(std::size_t offset) const {
    T v;
    // NOLINTNEXTLINE(bugprone-sizeof-expression): T may be a pointer, loaded as it is
    std::memcpy(static_cast<void*>(&v), raw() + offset, sizeof(T));
    return v;
  }
  const char* raw() const { return reinterpret_cast<const char*>(this); }
  char* raw() { return reinterpret_cast<char*>(this); }
  const char* bytes() const { return raw() + (has_link() ? kLinkedHeader : kPlainHeader); }

  std::uint64_t stamp() const { return load<std::uint64_t>(0); }
  std::uint32_t key_size() const { return load<std::uint32_t>(8); }
  std::uint32_t value_size() const { return load<std::uint32_t>(12); }
  std::uint8_t flags() const { return static_cast<std::uint8_t>(raw()[16]); }
  bool has_link() const { return (flags() & kLink) != 0; }
  OlderVersions* link() const { return has_link() ? load<OlderVersions*>(24) : nullptr; }
  void set_link(OlderVersions* l) { store(raw() + 24, l); }
  // Turns a pending record into a committed one.
  void stamp_committed(std::uint64_t commit_ts) {
    store(raw(), commit_ts);
    raw()[16] = static_cast<char>(flags() & ~kPending);
  }
};

// The committed versions behind a head, newest first, in one allocation:
// [u32 size][u32 capacity][VersionRecord* x capacity].
class OlderVersions {
 public:
  std::uint32_t size() const { return size_; }
  VersionRecord* const* begin() const { return items(); }
  VersionRecord* const* end() const { return items() + size_; }
  VersionRecord* operator[](std::size_t i) const { return items()[i]; }
  std::size_t allocated_size() const { return alloc_size(capacity_); }

 private:
  friend class VersionChain;

  static std::size_t alloc_size(std::uint32_t capacity) {
    return sizeof(OlderVersions) + capacity * sizeof(VersionRecord*);
  }
  static OlderVersions* create(std::uint32_t capacity) {
    auto* l = static_cast<OlderVersions*>(::operator new(alloc_size(capacity)));
    l->size_ = 0;
    l->capacity_ = capacity;
    return l;
  }
  static void destroy(OlderVersions* l) { ::operator delete(static_cast<void*>(l)); }

  VersionRecord** items() { return reinterpret_cast<VersionRecord**>(this + 1); }
  VersionRecord* const* items() const { return reinterpret_cast<VersionRecord* const*>(this + 1); }

  std::uint32_t size_;
  std::uint32_t capacity_;
};

// Read-only access to a chain given by its head record.
class ChainView {
 public:
  explicit ChainView(const VersionRecord* head) : head_(head) {}

  BytesView key() const { return head_->key(); }

  // The version a reader sees (possibly a tombstone), or nullptr when none is visible.
  const VersionRecord* visible(std::uint64_t reader_txn_id, std::uint64_t snapshot_ts) const {
    if (head_->pending()) {
      if (head_->stamp() == reader_txn_id) return head_;
    } else if (!head_->empty() && head_->stamp() < snapshot_ts) {
      return head_;
    }
    const OlderVersions* older = head_->link();
    if (older == nullptr) return nullptr;
    const auto it = std::partition_point(older->begin(), older->end(), [&](const VersionRecord* v) {
      return v->stamp() >= snapshot_ts;
    });
    return it == older->end() ? nullptr : *it;
  }

  // The pending version, or nullptr.
  const VersionRecord* uncommitted() const { return head_->pending() ? head_ : nullptr; }
  // The newest committed version, or nullptr.
  const VersionRecord* newest_committed() const {
    if (!head_->pending() && !head_->empty()) return head_;
    const OlderVersions* older = head_->link();
    return older != nullptr && older->size() > 0 ? (*older)[0] : nullptr;
  }
  // Every committed version, newest first.
  std::vector<const VersionRecord*> committed() const {
    std::vector<const VersionRecord*> out;
    if (!head_->pending() && !head_->empty()) out.push_back(head_);
    if (const OlderVersions* older = head_->link())
      out.insert(out.end(), older->begin(), older->end());
    return out;
  }
  // Committed versions plus the pending one.
  std::size_t version_count() const {
    const OlderVersions* older = head_->link();
    return (head_->empty() ? 0 : 1) + (older != nullptr ? older->size() : 0);
  }
  // Bytes allocated for the chain: its records and its array of older versions.
  std::size_t bytes() const {
    std::size_t n = head_->allocated_size();
    if (const OlderVersions* older = head_->link()) {
      n += older->allocated_size();
      for (const VersionRecord* r : *older) n += r->allocated_size();
    }
    return n;
  }

 private:
  const VersionRecord* head_;
};

// Owns one chain. Move-only; a holder that keeps chains as bare head pointers (the memtable's
// table) hands them over with adopt() and takes them back with release().
class VersionChain {
 public:
  // A chain whose only version is txn_id's pending one (an absent value is a deletion).
  VersionChain(BytesView key, std::optional<BytesView> value, std::uint64_t txn_id)
      : head_(make(key, value, txn_id, VersionRecord::kPending)) {}
  // A chain whose only version is value, committed at commit_ts.
  static VersionChain committed(BytesView key, BytesView value, std::uint64_t commit_ts) {
    VersionChain chain(nullptr);
    chain.head_ = chain.make(key, value, commit_ts, 0);
    return chain;
  }
  VersionChain(VersionChain&& o) noexcept
      : delta_(std::exchange(o.delta_, 0)), head_(std::exchange(o.head_, nullptr)) {}
  VersionChain& operator=(VersionChain o) noexcept {
    std::swap(head_, o.head_);
    std::swap(delta_, o.delta_);
    return *this;
  }
  ~VersionChain() {
    if (head_ != nullptr) free_all(head_);
  }

  static VersionChain adopt(VersionRecord* head) { return VersionChain(head); }
  // Gives up ownership of the head record, which stands for the whole chain.
  VersionRecord* release() { return std::exchange(head_, nullptr); }
  // A deep copy.
  VersionChain clone() const {
    const VersionRecord* h = head_;
    VersionChain out(copy_of(h, h->link() != nullptr));
    if (const OlderVersions* older = h->link()) {
      OlderVersions* l = OlderVersions::create(older->size());
      for (const VersionRecord* r : *older) l->items()[l->size_++] = copy_of(r, false);
      out.head_->set_link(l);
    }
    return out;
  }

  ChainView view() const { return ChainView(head_); }
  BytesView key() const { return head_->key(); }

  // Installs a pending version (an absent value is a deletion) for txn_id in the slot, or
  // replaces the slot's value when txn_id owns it already.
  ChainWrite write(std::optional<BytesView> value, std::uint64_t txn_id) {
    VersionRecord* h = head_;
    if (h->pending()) {
      if (h->stamp() != txn_id) return ChainWrite::Conflict;
      const std::uint8_t link = h->has_link() ? VersionRecord::kLink : 0;
      VersionRecord* n = make(h->key(), value, txn_id, VersionRecord::kPending | link);
      if (link != 0) n->set_link(h->link());
      drop(h);
      head_ = n;
      return ChainWrite::Replaced;
    }
    if (h->empty()) {
      head_ = make(h->key(), value, txn_id, VersionRecord::kPending);
      drop(h);
      return ChainWrite::Installed;
    }
    // The committed head moves to the front of the older versions.
    OlderVersions* older = h->link();
    VersionRecord* n =
        make(h->key(), value, txn_id, VersionRecord::kPending | VersionRecord::kLink);
    older = insert_at(older, 0, h);
    if (h->has_link()) h->set_link(nullptr);  // the link belongs to the head only
    n->set_link(older);
    head_ = n;
    return ChainWrite::Installed;
  }

  // Moves txn_id's pending version into the committed list, stamped with commit_ts. Does nothing
  // (and returns false) when the slot is empty or owned by someone else. With horizon > 0, then
  // prunes as prune(horizon) does.
  bool commit(std::uint64_t txn_id, std::uint64_t commit_ts, std::uint64_t horizon = 0) {
    VersionRecord* h = head_;
    if (!h->pending() || h->stamp() != txn_id) return false;
    OlderVersions* older = h->link();
    h->stamp_committed(commit_ts);
    // An equal timestamp goes before the existing versions; timestamps grow, so the new version
    // is normally the newest and stays the head.
    std::size_t entered = 0;  // where the version that just left the head position now is
    if (older != nullptr && (*older)[0]->stamp() > commit_ts) {
      // Versions newer than commit_ts stay in front: the newest of them becomes the head.
      h->set_link(nullptr);
      const auto at =
          std::partition_point(older->begin(), older->end(),
                               [&](const VersionRecord* v) { return v->stamp() > commit_ts; });
      entered = static_cast<std::size_t>(at - older->begin());
      older = insert_at(older, entered, h);
      VersionRecord* newest = older->items()[0];
      erase_front(older);
      --entered;
      relink(newest, older, h->key());
    }
    prune(horizon);
    // A version kept behind the head needs neither the key nor a link: store it without them.
    if (older = head_->link(); older != nullptr && entered < older->size()) {
      VersionRecord*& r = older->items()[entered];
      if (r->key_size() != 0 || r->has_link()) {
        VersionRecord* bare = make({}, r->value(), r->stamp(), r->flags() & ~VersionRecord::kLink);
        drop(r);
        r = bare;
      }
    }
    return true;
  }

  // The version a reader sees (possibly a tombstone), or nullptr when none is visible.
  const VersionRecord* visible(std::uint64_t reader_txn_id, std::uint64_t snapshot_ts) const {
    return view().visible(reader_txn_id, snapshot_ts);
  }

  // Empties the slot if txn_id owns it; true when it did.
  bool sweep(std::uint64_t txn_id) {
    VersionRecord* h = head_;
    if (!h->pending() || h->stamp() != txn_id) return false;
    OlderVersions* older = h->link();
    if (older == nullptr) {
      head_ = make(h->key(), std::nullopt, 0, VersionRecord::kEmpty);
    } else {
      VersionRecord* newest = older->items()[0];
      erase_front(older);
      relink(newest, older, h->key());
    }
    drop(h);
    return true;
  }

  // Drops every committed version older than the newest one whose commit_ts is below horizon.
  // Horizon 0 keeps everything. Returns the number of versions dropped.
  std::size_t prune(std::uint64_t horizon) {
    if (horizon == 0) return 0;
    VersionRecord* h = head_;
    OlderVersions* older = h->link();
    if (older == nullptr) return 0;
    std::size_t keep = 0;  // older versions kept
    if (h->pending() || h->stamp() >= horizon) {
      const auto below =
          std::partition_point(older->begin(), older->end(),
                               [&](const VersionRecord* v) { return v->stamp() >= horizon; });
      if (below == older->end()) return 0;
      keep = static_cast<std::size_t>(below - older->begin()) + 1;  // the oldest readers' version
    }
    const std::size_t dropped = older->size() - keep;
    for (std::size_t i = keep; i < older->size(); ++i) drop(older->items()[i]);
    older->size_ = static_cast<std::uint32_t>(keep);
    relink(h, older, h->key());
    return dropped;
  }

  const VersionRecord* uncommitted() const { return view().uncommitted(); }
  const VersionRecord* newest_committed() const { return view().newest_committed(); }
  std::vector<const VersionRecord*> committed() const { return view().committed(); }
  std::size_t version_count() const { return view().version_count(); }
  std::size_t bytes() const { return view().bytes(); }

  // Bytes allocated minus bytes freed by this chain's changes since the last call.
  std::int64_t take_byte_delta() { return std::exchange(delta_, 0); }

 private:
  explicit VersionChain(VersionRecord* head) : head_(head) {}

  static VersionRecord* copy_of(const VersionRecord* r, bool link) {
    const std::uint8_t flags = static_cast<std::uint8_t>((r->flags() & ~VersionRecord::kLink) |
                                                         (link ? VersionRecord::kLink : 0));
    return VersionRecord::create(r->key(), r->value(), r->stamp(), flags);
  }
  static void free_all(VersionRecord* head) {
    if (OlderVersions* older = head->link()) {
      for (VersionRecord* r : *older) VersionRecord::destroy(r);
      OlderVersions::destroy(older);
    }
    VersionRecord::destroy(head);
  }

  VersionRecord* make(BytesView key, std::optional<BytesView> value, std::uint64_t stamp,
                      std::uint8_t flags) {
    VersionRecord* r = VersionRecord::create(key, value, stamp, flags);
    delta_ += static_cast<std::int64_t>(r->allocated_size());
    return r;
  }
  void drop(VersionRecord* r) {
    delta_ -= static_cast<std::int64_t>(r->allocated_size());
    VersionRecord::destroy(r);
  }
  OlderVersions* make_list(std::uint32_t capacity) {
    OlderVersions* l = OlderVersions::create(capacity);
    delta_ += static_cast<std::int64_t>(l->allocated_size());
    return l;
  }
  void drop_list(OlderVersions* l) {
    delta_ -= static_cast<std::int64_t>(l->allocated_size());
    OlderVersions::destroy(l);
  }

  // Inserts r at position i of the array (null: a new one), growing it when full.
  OlderVersions* insert_at(OlderVersions* l, std::size_t i, VersionRecord* r) {
    if (l == nullptr || l->size_ == l->capacity_) {
      const std::uint32_t size = l == nullptr ? 0 : l->size_;
      OlderVersions* grown = make_list(size < 2 ? 2 : size + size / 2);
      if (l != nullptr) {
        std::copy(l->items(), l->items() + size, grown->items());
        grown->size_ = size;
        drop_list(l);
      }
      l = grown;
    }
    VersionRecord** items = l->items();
    std::copy_backward(items + i, items + l->size_, items + l->size_ + 1);
    items[i] = r;
    ++l->size_;
    return l;
  }
  static void erase_front(OlderVersions* l) {
    std::copy(l->items() + 1, l->items() + l->size_, l->items());
    --l->size_;
  }

  // Makes r the head with `older` behind it: the head carries the key, and a link exactly when
  // there are older versions, so r is copied when its record has the wrong shape (an older
  // version is stored without the key), and an empty array goes. `key` must outlive the call.
  void relink(VersionRecord* r, OlderVersions* older, BytesView key) {
    if (older != nullptr && older->size() == 0) {
      drop_list(older);
      older = nullptr;
    }
    if (r->has_link() != (older != nullptr) || r->key_size() != key.size()) {
      VersionRecord* n =
          make(key, r->value(), r->stamp(),
               static_cast<std::uint8_t>((r->flags() & ~VersionRecord::kLink) |
                                         (older != nullptr ? VersionRecord::kLink : 0)));
      drop(r);
      r = n;
    }
    if (older != nullptr) r->set_link(older);
    head_ = r;
  }

  std::int64_t delta_ = 0;  // see take_byte_delta(); declared first, make() updates it
  VersionRecord* head_;     // never null while owned
};

}  // namespace kavrel
