#include "storage/internal/wal/wal_manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/text.h"
#include "storage/internal/io/fs_util.h"

namespace kavrel {
namespace {

using json = nlohmann::json;

// A character iterator that records how far the parser has read, so that errors raised from
// SAX events can name a line and column.
struct TrackedIter {
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* p = nullptr;
  const char** furthest = nullptr;

  reference operator*() const { return *p; }
  TrackedIter& operator++() {
    ++p;
    if (p > *furthest) *furthest = p;
    return *this;
  }
  TrackedIter operator++(int) {
    TrackedIter old = *this;
    ++*this;
    return old;
  }
  bool operator==(const TrackedIter& o) const { return p == o.p; }
};

// Decodes the manifest from SAX events. Fields are numbered in their written order.
class ManifestSax {
 public:
  static constexpr std::array<const char*, 3> kFields = {"format_version", "db_uuid",
                                                         "last_checkpoint_lsn"};

  ManifestSax(const char* begin, const char** furthest) : begin_(begin), furthest_(furthest) {}

  bool null() { return scalar("unit value"); }
  bool boolean(bool v) { return scalar(fmt::format("boolean `{}`", v)); }
  bool number_integer(json::number_integer_t v) {
    if (v >= 0) return number_unsigned(static_cast<json::number_unsigned_t>(v));
    return scalar(fmt::format("integer `{}`", v));
  }
  bool number_unsigned(json::number_unsigned_t v) {
    if (depth_ == 0) return scalar(fmt::format("integer `{}`", v));
    const auto field = value_field();
    if (!field) return true;
    if (*field == 1) return type_error(*field, fmt::format("integer `{}`", v));
    if (*field == 0) {
      if (v > std::numeric_limits<std::uint32_t>::max()) {
        return fail_at(fmt::format("invalid value: integer `{}`, expected u32", v));
      }
      out_.format_version = static_cast<std::uint32_t>(v);
    } else {
      out_.last_checkpoint_lsn = v;
    }
    return true;
  }
  bool number_float(json::number_float_t v, const std::string& /*text*/) {
    return scalar(fmt::format("floating point `{}`", v));
  }
  bool string(std::string& v) {
    if (depth_ == 0) return scalar(fmt::format("string {}", debug_quote(v)));
    const auto field = value_field();
    if (!field) return true;
    if (*field != 1) return type_error(*field, fmt::format("string {}", debug_quote(v)));
    out_.db_uuid = v;
    return true;
  }
  bool binary(json::binary_t& /*v*/) { return scalar("byte array"); }

  bool start_object(std::size_t /*n*/) { return open(Container::Object, "map"); }
  bool start_array(std::size_t /*n*/) { return open(Container::Array, "sequence"); }
  bool key(std::string& k) {
    if (depth_ != 1) return true;
    current_.reset();
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (k != kFields[i]) continue;
      if (seen_[i]) return fail_at(fmt::format("duplicate field `{}`", kFields[i]));
      current_ = i;
    }
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t /*pos*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& e) {
    // "[json.exception.parse_error.101] parse error at ..." without the library's tag.
    std::string text = e.what();
    if (const auto tag_end = text.find("] ");
        text.starts_with("[json.") && tag_end != std::string::npos) {
      text.erase(0, tag_end + 2);
    }
    error_ = std::move(text);
    return false;
  }

  [[nodiscard]] const std::optional<std::string>& error() const { return error_; }
  [[nodiscard]] const WalManifest& manifest() const { return out_; }

 private:
  enum class Container { None, Object, Array };

  // The field the next value at depth 1 belongs to: nullopt for skipped keys, nested values and
  // array elements past the third.
  std::optional<std::size_t> value_field() {
    if (depth_ != 1) return std::nullopt;
    std::optional<std::size_t> field;
    if (top_ == Container::Object) {
      field = std::exchange(current_, std::nullopt);
    } else if (elements_ < kFields.size()) {
      field = elements_;
    }
    if (top_ == Container::Array) ++elements_;
    if (field) seen_[*field] = true;
    return field;
  }

  bool scalar(const std::string& what) {
    if (depth_ == 0) {
      return fail_at(fmt::format("invalid type: {}, expected struct WalManifest", what));
    }
    const auto field = value_field();
    if (!field) return true;
    return type_error(*field, what);
  }

  bool type_error(std::size_t field, const std::string& what) {
    return fail_at(fmt::format("invalid type: {}, expected {}", what,
                               field == 1   ? "a string"
                               : field == 0 ? "u32"
                                            : "u64"));
  }

  bool open(Container kind, const char* what) {
    if (depth_ == 0) {
      top_ = kind;
      depth_ = 1;
      return true;
    }
    if (const auto field = value_field(); field) return type_error(*field, what);
    ++depth_;
    return true;
  }

  bool close() {
    if (--depth_ > 0) return true;
    if (top_ == Container::Array && elements_ != kFields.size()) {
      return fail_at(fmt::format("invalid length {}, expected 3 elements", elements_));
    }
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (!seen_[i]) return fail_at(fmt::format("missing field `{}`", kFields[i]));
    }
    return true;
  }

  // Records an error positioned after the last character the parser read.
  bool fail_at(const std::string& text) {
    const std::string_view read(begin_, static_cast<std::size_t>(*furthest_ - begin_));
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
    const std::size_t nl = read.rfind('\n');
    const std::size_t column = nl == std::string_view::npos ? read.size() : read.size() - nl - 1;
    error_ = fmt::format("{} at line {} column {}", text, line, column);
    return false;
  }

  const char* begin_;
  const char** furthest_;
  WalManifest out_;
  Container top_ = Container::None;
  std::size_t depth_ = 0;
  std::size_t elements_ = 0;
  std::optional<std::size_t> current_;
  std::array<bool, 3> seen_{};
  std::optional<std::string> error_;
};

Result<WalManifest> parse_manifest(BytesView text) {
  const char* furthest = text.data();
  ManifestSax sax(text.data(), &furthest);
  TrackedIter first{text.data(), &furthest};
  TrackedIter last{text.data() + text.size(), &furthest};
  bool ok = false;
  try {
    ok = json::sax_parse(first, last, &sax);
  } catch (const std::exception& e) {
    return fail(KavrelError::corruption(fmt::format("malformed wal.manifest: {}", e.what())));
  }
  if (!ok || sax.error()) {
    return fail(KavrelError::corruption(
        fmt::format("malformed wal.manifest: {}", sax.error().value_or("invalid JSON"))));
  }
  return sax.manifest();
}

Result<std::string> serialize(const WalManifest& m) {
  try {
    nlohmann::ordered_json j;
    j["format_version"] = m.format_version;
    j["db_uuid"] = m.db_uuid;
    j["last_checkpoint_lsn"] = m.last_checkpoint_lsn;
    return j.dump();
  } catch (const std::exception& e) {
    return fail(KavrelError::internal(fmt::format("serialize wal.manifest: {}", e.what())));
  }
}

}  // namespace

bool WalManifest::exists(const std::filesystem::path& dir) {
  struct stat st {};
  return ::stat((dir / kFileName).c_str(), &st) == 0;
}

Result<WalManifest> WalManifest::load(const std::filesystem::path& dir) {
  auto text = read_whole_file(dir / kFileName);
  if (!text) return fail(std::move(text.error()));
  auto m = parse_manifest(*text);
  if (!m) return m;
  if (m->format_version != kFormatVersion) {
    return fail(KavrelError::corruption(fmt::format(
        "unsupported wal.manifest version {} (expected {})", m->format_version, kFormatVersion)));
  }
  return m;
}

Result<> WalManifest::publish(const std::filesystem::path& dir, std::uint64_t lsn) {
  WalManifest next;
  if (auto old = load(dir)) {
    next = std::move(*old);
  } else {
    // An unreadable or invalid manifest is replaced by a fresh one rather than failing the
    // checkpoint.
    next.format_version = kFormatVersion;
    next.db_uuid = to_hex(random_bytes(16));
  }
  next.last_checkpoint_lsn = lsn;
  if (auto r = create_dir_all(dir); !r) return r;
  auto text = serialize(next);
  if (!text) return fail(std::move(text.error()));
  auto published = publish_file(dir, kFileName, *text, PublishMode::Replace);
  if (!published) return fail(KavrelError::io(published.error().err));
  return {};
}

std::string WalManifest::to_json() const {
  nlohmann::ordered_json j;
  j["format_version"] = format_version;
  j["db_uuid"] = db_uuid;
  j["last_checkpoint_lsn"] = last_checkpoint_lsn;
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace kavrel
