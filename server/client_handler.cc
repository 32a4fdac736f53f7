#include "server/client_handler.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/cleanup.h"
#include "core/log.h"
#include "core/text.h"
#include "protocol/errors.h"
#include "protocol/requests.h"
#include "server/access.h"
#include "server/payloads.h"
#include "storage/backup.h"

namespace kavrel {
namespace {

constexpr const char* kTarget = "kavrel_server";

constexpr const char* kSqlRefusal =
    "SQL execution must be implemented client-side. Use Python SDK for full SQL support.";

Message ok() { return {response::OK, {}}; }
Message value(Bytes bytes) { return {response::VALUE, std::move(bytes)}; }
Message txn_id(std::uint64_t id) { return {response::TXN_ID, encode_txn_handle(id)}; }
Message error_of(const KavrelError& e) { return Message::error(e.message()); }
Message protocol_error(std::string text) {
  return Message::error(IpcError::protocol(std::move(text)).message());
}

// A key a scan could not list (its length field has 16 bits) is refused at its write: stored, it
// would make every later scan of its prefix fail. Keys stored before are still served by GET.
std::optional<Message> refuse_long_key(BytesView key) {
  if (key.size() <= MAX_SCAN_KEY_LEN) return std::nullopt;
  return Message::error(
      fmt::format("Key too long: {} bytes (max {})", key.size(), MAX_SCAN_KEY_LEN));
}

Message scan_listing(const PathEntries& entries) {
  auto listing = encode_scan_listing(entries);
  if (!listing) {
    // A truncated 16-bit key length would make the client misread every later entry.
    if (listing.error().key_len != 0) {
      return Message::error(fmt::format("Key too long for scan listing: {} bytes (max {})",
                                        listing.error().key_len, MAX_SCAN_KEY_LEN));
    }
    return Message::error("Scan result too large for scan listing");
  }
  return value(std::move(*listing));
}

}  // namespace

ClientHandler::ClientHandler(std::shared_ptr<Database> db, std::shared_ptr<ServerStats> stats,
                             Options options)
    : db_(std::move(db)), stats_(std::move(stats)), options_(std::move(options)) {}

ClientHandler::~ClientHandler() { abort_all(); }

void ClientHandler::abort_all() {
  transactions_.clear();  // each aborts as it goes
}

std::optional<std::uint64_t> ClientHandler::storage_txn(std::uint64_t handle) const {
  const auto it = transactions_.find(handle);
  if (it == transactions_.end()) return std::nullopt;
  return it->second.id();
}

Message ClientHandler::process_request(const Message& request) {
  if (auto refusal = refused(request)) return std::move(*refusal);
  Message out = dispatch(request);
  // The length field has 32 bits; a larger payload would desynchronise the stream.
  if (out.payload.size() > 0xFFFFFFFFu) {
    return Message::error(
        fmt::format("Response too large: {} bytes (max 4294967295)", out.payload.size()));
  }
  return out;
}

Message ClientHandler::dispatch(const Message& request) {
  const BytesView payload = request.payload;
  switch (request.opcode) {
    case opcode::PUT: return put(payload);
    case opcode::GET: return get_key(payload);
    case opcode::DELETE: return del(payload);
    case opcode::BEGIN_TXN: return begin_txn();
    case opcode::COMMIT_TXN: return commit_txn(payload);
    case opcode::ABORT_TXN: return abort_txn(payload);
    case opcode::QUERY: return query(payload);
    case opcode::REGISTER_TABLE: return register_table(payload);
    case opcode::PUT_PATH: return put_path(payload);
    case opcode::GET_PATH: return get_path(payload);
    case opcode::SCAN: return scan(payload);
    case opcode::CHECKPOINT: return checkpoint();
    case opcode::COMPACT: return compact();
    case opcode::STATS: return stats();
    case opcode::PING: return {response::PONG, {}};
    case opcode::EXECUTE_SQL: return execute_sql(payload);
    case opcode::LIST_TABLES: return list_tables();
    case opcode::DESCRIBE_TABLE: return describe_table(payload);
    case opcode::DROP_TABLE: return drop_table(payload);
    case opcode::IN_TXN: return in_txn(payload);
    case opcode::BACKUP: return backup(payload);
    case opcode::AUTH: return auth(payload);
    case opcode::USERS: return users(payload);
    default: return Message::error(fmt::format("Unknown opcode: {:#x}", request.opcode));
  }
}

Message ClientHandler::write_one(BytesView key, std::optional<BytesView> value_bytes) {
  if (current_) {
    auto written = db_->write_key(current_->txn, key, value_bytes);
    if (written) return ok();
    return abort_current(written.error());
  }
  // A blind write waits for another transaction's pending write of the key, but one of this
  // connection's own transactions cannot end while the connection waits: that would only wait
  // out the bound.
  for (const auto& [handle, txn] : transactions_) {
    if (db_->wrote(txn.id(), key)) {
      return Message::error(fmt::format(
          "Internal error: Write-write conflict detected: transaction {} of this connection "
          "holds a pending write of the key",
          handle));
    }
  }
  // A failed commit has already ended the transaction (or left it registered after a failed
  // log write, as the commit protocol decides); it is not aborted again.
  auto committed = db_->write_blind(key, value_bytes);
  if (!committed) return error_of(committed.error());
  return ok();
}

Message ClientHandler::abort_current(const KavrelError& error) {
  // The write set and the log buffer already hold the failed write, so the transaction cannot
  // go on: it ends here, and the client retries from BEGIN_TXN.
  transactions_.erase(current_->handle);  // aborts it
  return Message::error(fmt::format("Transaction {} aborted: {}; retry from BEGIN_TXN",
                                    current_->handle, error.message()));
}

std::span<const BlindWrite> ClientHandler::decode_writes(std::span<const Message> requests) {
  // The buffers of a long pipelined run are not kept.
  constexpr std::size_t kKeptRun = 16;
  DecodedWrites& d = decoded_;
  if (d.answers.capacity() > kKeptRun) d = DecodedWrites{};
  d.answers.clear();
  d.index.clear();
  d.writes.clear();
  d.path_keys.clear();
  d.answers.resize(requests.size());
  d.index.reserve(requests.size());
  d.writes.reserve(requests.size());
  d.path_keys.reserve(requests.size());  // never reallocated: writes view its keys
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (auto refusal = refused(requests[i])) {
      d.answers[i] = std::move(*refusal);
      continue;
    }
    const BytesView payload = requests[i].payload;
    switch (requests[i].opcode) {
      case opcode::PUT: {
        auto req = decode_put(payload);
        if (!req) {
          d.answers[i] = protocol_error(std::move(req.error()));
          continue;
        }
        if (auto refused = refuse_long_key(req->key)) {
          d.answers[i] = std::move(*refused);
          continue;
        }
        d.writes.push_back({req->key, req->value});
        break;
      }
      case opcode::DELETE: d.writes.push_back({payload, std::nullopt}); break;
      case opcode::PUT_PATH: {
        auto req = decode_path(payload);
        if (!req) {
          d.answers[i] = protocol_error(std::move(req.error()));
          continue;
        }
        Bytes key = req->key();
        if (auto refused = refuse_long_key(key)) {
          d.answers[i] = std::move(*refused);
          continue;
        }
        d.path_keys.push_back(std::move(key));
        d.writes.push_back({d.path_keys.back(), req->remainder});
        break;
      }
      default: d.answers[i] = process_request(requests[i]); continue;
    }
    d.index.push_back(i);
  }
  return d.writes;
}

std::span<const Message> ClientHandler::finish_writes(const WriteOutcome& outcome) {
  DecodedWrites& d = decoded_;
  for (std::size_t k = 0; k < d.writes.size(); ++k) {
    Message& answer = d.answers[d.index[k]];
    switch (outcome.status) {
      case WriteOutcome::Status::Committed: answer = ok(); break;
      case WriteOutcome::Status::Failed: answer = error_of(*outcome.error); break;
      case WriteOutcome::Status::WriteAlone:
        answer = write_one(d.writes[k].key, d.writes[k].value);
        break;
    }
  }
  return d.answers;
}

std::vector<Message> ClientHandler::process_writes(std::span<const Message> requests) {
  const auto writes = decode_writes(requests);
  if (!writes.empty()) (void)finish_writes(db_->write(std::span(&writes, 1)).front());
  return std::move(decoded_.answers);
}

Message ClientHandler::put(BytesView payload) {
  auto req = decode_put(payload);
  if (!req) return protocol_error(std::move(req.error()));
  if (auto refused = refuse_long_key(req->key)) return *refused;
  return write_one(req->key, req->value);
}

Message ClientHandler::del(BytesView key) { return write_one(key, std::nullopt); }

template <class Read>
Message ClientHandler::in_read_transaction(Read&& read) {
  if (current_) return std::forward<Read>(read)(current_->txn);
  const Database::Transaction txn = db_->begin();  // aborted when the read is done
  return std::forward<Read>(read)(txn.id());
}

Message ClientHandler::read_value(std::uint64_t txn, BytesView key) {
  auto got = db_->get(txn, key);
  if (!got) return error_of(got.error());
  // An absent key and an empty value give the same answer.
  return value(std::move(*got).value_or(Bytes()));
}

Message ClientHandler::read_value(const Database::SnapshotReader& reader, BytesView key) {
  // An absent key and an empty value give the same answer.
  return value(reader.get(key).value_or(Bytes()));
}

Message ClientHandler::get_key(BytesView key) {
  if (current_) return read_value(current_->txn, key);
  return read_value(Database::SnapshotReader(*db_), key);
}

std::vector<Message> ClientHandler::process_reads(std::span<const Message> requests) {
  std::vector<Message> answers;
  answers.reserve(requests.size());
  if (requests.size() == 1) {
    answers.push_back(process_request(requests.front()));
    return answers;
  }
  const Database::SnapshotReader reader(*db_);
  for (const Message& request : requests) {
    if (auto refusal = refused(request)) {
      answers.push_back(std::move(*refusal));
    } else if (request.opcode == opcode::GET) {
      answers.push_back(read_value(reader, request.payload));
    } else if (request.opcode == opcode::GET_PATH) {
      auto req = decode_path(request.payload);
      answers.push_back(req ? read_value(reader, req->key())
                            : protocol_error(std::move(req.error())));
    } else {
      answers.push_back(process_request(request));
    }
  }
  return answers;
}

Message ClientHandler::begin_txn() {
  if (transactions_.size() >= kMaxOpenTransactions) {
    return Message::error(fmt::format(
        "Too many open transactions on this connection (at most {}); commit or abort one first",
        kMaxOpenTransactions));
  }
  const std::uint64_t handle = next_handle_++;
  transactions_.emplace(handle, db_->begin());
  return txn_id(handle);
}

Result<Database::Transaction, std::string> ClientHandler::take_transaction(std::uint8_t op,
                                                                           BytesView payload) {
  auto handle = decode_txn_handle(op, payload);
  if (!handle) return std::unexpected(std::move(handle.error()));
  const auto it = transactions_.find(*handle);
  if (it == transactions_.end()) {
    return std::unexpected(IpcError::transaction_not_found(*handle).message());
  }
  Database::Transaction txn = std::move(it->second);
  transactions_.erase(it);  // the handle is gone whatever the storage answers
  return txn;
}

Message ClientHandler::commit_txn(BytesView payload) {
  auto txn = take_transaction(opcode::COMMIT_TXN, payload);
  if (!txn) return Message::error(txn.error());
  auto ts = txn->commit();
  if (!ts) return error_of(ts.error());
  return txn_id(*ts);
}

Message ClientHandler::abort_txn(BytesView payload) {
  auto txn = take_transaction(opcode::ABORT_TXN, payload);
  if (!txn) return Message::error(txn.error());
  txn->abort();
  return ok();
}

Message ClientHandler::query(BytesView payload) {
  auto req = decode_query(payload);
  if (!req) return Message::error(req.error());
  return in_read_transaction([&](std::uint64_t txn) {
    QueryBuilder builder = db_->query(txn, std::string(req->path));
    if (req->limit != 0) builder.limit = req->limit;
    if (req->offset != 0) builder.offset = req->offset;
    if (!req->columns.empty()) {
      builder.columns(std::vector<std::string>(req->columns.begin(), req->columns.end()));
    }
    auto toon = builder.to_toon(req->exact_floats ? FloatText::Shortest : FloatText::Fixed6);
    if (!toon) return error_of(toon.error());
    return value(std::move(*toon));
  });
}

Message ClientHandler::register_table(BytesView payload) {
  auto schema = decode_schema(payload);
  if (!schema) return Message::error(schema.error());
  auto registered = db_->register_table(std::move(*schema));
  if (!registered) return error_of(registered.error());
  return ok();
}

Message ClientHandler::list_tables() {
  std::vector<Bytes> encoded;
  for (const TableSchema& schema : db_->list_tables()) {
    encoded.push_back(encode_table_schema(schema));
  }
  return value(encode_table_list(encoded));
}

Message ClientHandler::describe_table(BytesView payload) {
  if (!is_valid_utf8(payload)) return Message::error("Invalid UTF-8 in table name");
  const std::string name(payload);
  auto schema = db_->describe_table(name);
  if (!schema) return Message::error(fmt::format("Table not found: {}", name));
  return value(encode_table_schema(*schema));
}

Message ClientHandler::drop_table(BytesView payload) {
  if (!is_valid_utf8(payload)) return Message::error("Invalid UTF-8 in table name");
  const std::string name(payload);
  if (!db_->describe_table(name)) return Message::error(fmt::format("Table not found: {}", name));
  if (current_) {
    // Its row deletions may have begun, so a failure ends the transaction as a write's does.
    auto dropped = db_->drop_table(current_->txn, name);
    return dropped ? ok() : abort_current(dropped.error());
  }
  auto dropped = db_->drop_table(name);
  return dropped ? ok() : error_of(dropped.error());
}

Message ClientHandler::put_path(BytesView payload) {
  auto req = decode_path(payload);
  if (!req) return protocol_error(std::move(req.error()));
  const Bytes key = req->key();
  if (auto refused = refuse_long_key(key)) return *refused;
  return write_one(key, req->remainder);
}

Message ClientHandler::get_path(BytesView payload) {
  auto req = decode_path(payload);
  if (!req) return protocol_error(std::move(req.error()));
  return get_key(req->key());
}

Message ClientHandler::scan(BytesView payload) {
  if (!is_valid_utf8(payload)) return Message::error("Invalid UTF-8 in scan prefix");
  return in_read_transaction([&](std::uint64_t txn) {
    auto entries = db_->scan_path(txn, payload);
    if (!entries) return error_of(entries.error());
    return scan_listing(*entries);
  });
}

Message ClientHandler::stats() {
  const DurableStorage::Figures f = db_->figures();
  return {response::STATS_JSON,
          stats_->render({f.memtable_bytes, f.log_bytes}, transactions_.size())};
}

Message ClientHandler::compact() {
  auto done = db_->compact();
  if (!done) return error_of(done.error());
  return ok();
}

Message ClientHandler::backup(BytesView payload) {
  if (!options_.backups) return Message::error("BACKUP is turned off for this connection");
  if (!is_valid_utf8(payload)) return Message::error("Invalid UTF-8 in backup directory");
  if (payload.find('\0') != BytesView::npos) {
    return Message::error("Invalid backup directory: it holds a NUL byte");
  }
  auto done = kavrel::backup(*db_, std::filesystem::path(std::string(payload)));
  if (!done) return error_of(done.error());
  nlohmann::ordered_json summary;
  summary["path"] = done->path.string();
  summary["lsn"] = done->lsn;
  summary["keys"] = done->keys;
  summary["tables"] = done->tables;
  summary["bytes"] = done->bytes;
  summary["encrypted"] = done->encrypted;
  return value(summary.dump());
}

// ---- Logins and users -------------------------------------------------------------------------

std::optional<Message> ClientHandler::refused(const Message& request) {
  if (request.opcode == opcode::AUTH) return std::nullopt;
  const Peer& peer = options_.peer;
  if (!user_ && !certificate_user_.empty()) {
    // The handshake verified a certificate naming a user: that user is logged in.
    if (auto user = db_->user(certificate_user_)) {
      log::debug(kTarget, "User {} logged in by its certificate from {}", debug_quote(user->name),
                 peer.address);
      user_ = std::move(*user);
    }
    certificate_user_.clear();
  }
  if (user_) {
    auto refusal = permission_refusal(request, *user_);
    if (!refusal) return std::nullopt;
    log::warn(kTarget, "Refused a request of user {} from {}: {}", debug_quote(user_->name),
              peer.address, *refusal);
    return Message::error(*refusal);
  }
  if (request.opcode == opcode::USERS) {
    // The first admin is made by the server's own OS user on its Unix socket.
    if (peer.local_admin && (!peer.login_required || !db_->has_admin())) return std::nullopt;
    if (!peer.login_required) {
      return Message::error(
          "Permission denied: USERS needs a login as an admin user, or the server's own OS "
          "user on its Unix socket");
    }
  }
  if (peer.login_required) return Message::error(kAuthenticationRequired);
  return std::nullopt;  // trusted by the socket's file mode
}

Message ClientHandler::auth(BytesView payload) {
  if (user_) {
    return Message::error(fmt::format("Already logged in as {}", debug_quote(user_->name)));
  }
  auto step = decode_auth(payload);
  if (!step) {
    exchange_.reset();
    return protocol_error("AUTH payload malformed");
  }
  if (step->step == 1) {
    exchange_.reset();
    if (step->mechanism != scram::kMechanism) {
      return Message::error(fmt::format("Unsupported authentication mechanism: {} (offered: {})",
                                        debug_quote(step->mechanism), scram::kMechanism));
    }
    auto first = scram::ServerExchange::parse_first(step->message);
    if (!first) return login_failed("", first.error());
    std::optional<scram::Verifier> verifier;
    if (auto user = db_->user(first->user)) {
      if (auto stored = scram::Verifier::parse(user->verifier)) verifier = std::move(*stored);
    }
    if (!verifier) verifier = scram::Verifier::decoy(first->user);
    exchange_.emplace(std::move(*first), std::move(*verifier));
    return value(exchange_->first());
  }
  if (!exchange_) return login_failed("", "a final message without a first one");
  const scram::ServerExchange exchange = std::move(*exchange_);
  exchange_.reset();
  auto final = exchange.final(step->message);
  if (!final) return login_failed(exchange.user(), final.error());
  auto user = db_->user(exchange.user());
  if (!user) return login_failed(exchange.user(), "no such user");
  log::debug(kTarget, "User {} logged in from {}", debug_quote(user->name), options_.peer.address);
  user_ = std::move(*user);
  return value(std::move(*final));
}

Message ClientHandler::login_failed(std::string_view user, std::string_view why) {
  ++failed_logins_;
  log::warn(kTarget, "Authentication failed for user {} from {}: {}", debug_quote(user),
            options_.peer.address, why);
  std::this_thread::sleep_for(options_.failed_login_pause);
  return Message::error(kAuthenticationFailed);
}

Message ClientHandler::users(BytesView payload) {
  const auto req = decode_users(payload);
  if (!req) return protocol_error("USERS payload malformed");
  const std::string by = user_ ? debug_quote(user_->name) : options_.peer.address;
  const auto not_found = [&] {
    return Message::error(fmt::format("User not found: {}", req->name));
  };
  switch (req->action) {
    case UsersRequest::List: {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const UserRecord& u : db_->users()) {
        list.push_back({{"name", u.name}, {"role", role_name(u.role)}, {"prefix", u.prefix}});
      }
      return value(list.dump());
    }
    case UsersRequest::Delete: {
      auto dropped = db_->drop_user(req->name);
      if (!dropped) return error_of(dropped.error());
      if (!*dropped) return not_found();
      log::info(kTarget, "User {} deleted by {}", debug_quote(req->name), by);
      return ok();
    }
    default: break;
  }
  if (!scram::Verifier::parse(req->verifier)) {
    return Message::error("Invalid password verifier: expected SCRAM-SHA-256$ITERATIONS:SALT$KEYS");
  }
  std::optional<UserRecord> user = db_->user(req->name);
  if (req->action == UsersRequest::Add) {
    if (req->role < static_cast<std::uint8_t>(Role::Read) ||
        req->role > static_cast<std::uint8_t>(Role::Admin)) {
      return Message::error(
          fmt::format("Invalid role: {} (1 read, 2 write, 3 admin)", int{req->role}));
    }
    if (user) return Message::error(fmt::format("User already exists: {}", req->name));
    user = UserRecord{req->name, static_cast<Role>(req->role), req->prefix, req->verifier};
  } else {
    if (!user) return not_found();
    user->verifier = req->verifier;
  }
  if (auto put = db_->put_user(*user); !put) return error_of(put.error());
  log::info(kTarget, "User {} {} by {}", debug_quote(user->name),
            req->action == UsersRequest::Add
                ? fmt::format("added with the {} role", role_name(user->role))
                : std::string("given a new password"),
            by);
  return ok();
}

Message ClientHandler::checkpoint() {
  auto lsn = db_->checkpoint();
  if (!lsn) return error_of(lsn.error());
  return ok();
}

Message ClientHandler::execute_sql(BytesView payload) {
  if (!is_valid_utf8(payload)) return Message::error("Invalid UTF-8 in SQL query");
  try {
    nlohmann::ordered_json refusal;
    refusal["error"] = kSqlRefusal;
    refusal["sql"] = std::string(payload);
    return value(refusal.dump());
  } catch (const nlohmann::json::exception& e) {
    return Message::error(std::string("Failed to serialize error: ") + e.what());
  }
}

Message ClientHandler::in_txn(BytesView payload) {
  const auto req = decode_in_txn(payload);
  if (!req) return Message::error("IN_TXN requires txn_id and an opcode");
  const std::uint64_t handle = req->handle;
  const auto it = transactions_.find(handle);
  if (it == transactions_.end()) {
    return Message::error(IpcError::transaction_not_found(handle).message());
  }
  const std::uint8_t op = req->op;
  if (const RequestTraits* inner = request_traits(op); inner == nullptr || !inner->in_txn) {
    return Message::error(inner ? fmt::format("IN_TXN cannot carry {} ({:#04x})", inner->name, op)
                                : fmt::format("IN_TXN cannot carry opcode {:#04x}", op));
  }
  const std::uint64_t txn = it->second.id();  // the request may end it, and its entry with it
  current_ = Current{handle, txn};
  const Cleanup leave([&] { current_.reset(); });
  const std::size_t scans = db_->scan_count(txn);
  Message answer = dispatch(Message{op, Bytes(req->payload)});
  // A failed request leaves the transaction as it was: a scan whose listing was refused, or a
  // query refused after reading, is no read that can refuse the commit.
  if (answer.opcode == response::ERROR) db_->forget_scans_since(txn, scans);
  return answer;
}

}  // namespace kavrel
