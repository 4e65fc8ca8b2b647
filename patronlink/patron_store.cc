#include "patronlink/patron_store.h"

#include <errmsg.h>

#include <stdexcept>

#include "patronlink/link_security.h"
#include "platform/msgbox.h"

namespace kk::patronlink {

PatronStore::PatronStore() : connection_(mysql_init(nullptr)) {}

PatronStore::~PatronStore() { close(); }

Status PatronStore::fail_connect(std::string text) {
  platform::show_message_box(kMessageCaption, text);
  return Status::connect_failed;
}

Status PatronStore::connect(const char* user, const char* password, const char* host, const char* database) {
  if (connected_) return Status::ok;
  // A connection the server dropped (or that ran into a time-out) is closed
  // here, so that the host gets back by calling ConnectDB again.
  if (lost_) close();
  const TlsChoice tls = tls_from_environment();
  if (tls.error) return fail_connect(*tls.error);
  // After close() or a failed attempt the object is gone: a connection is
  // always made on a fresh one.
  if (!connection_) connection_.reset(mysql_init(nullptr));
  if (!connection_ || !apply_link_options(connection_.get(), tls.settings)) {
    connection_.reset();
    return fail_connect(std::string(kInitFailedText));
  }

  if (mysql_real_connect(connection_.get(), host, user, password, database, kDatabasePort, nullptr, 0) ==
      nullptr) {
    std::string text = mysql_error(connection_.get());
    connection_.reset();
    return fail_connect(std::move(text));
  }
  // Whatever the client library made of the settings, a deployment that
  // asked for TLS never talks in clear.
  if (tls.settings.required() && mysql_get_ssl_cipher(connection_.get()) == nullptr) {
    connection_.reset();
    return fail_connect(std::string("the connection is not encrypted, but ") + kTlsCaVariable +
                        " asks for TLS");
  }
  // The patron texts are GBK, and the escaping of keys and values must know
  // it: a connection that cannot switch to GBK is not used.
  if (mysql_set_character_set(connection_.get(), "GBK") != 0) {
    std::string text = mysql_error(connection_.get());
    connection_.reset();
    return fail_connect(std::move(text));
  }
  connected_ = true;
  return Status::ok;
}

int PatronStore::run(const std::string& statement) {
  const int rc = mysql_query(connection_.get(), statement.c_str());
  if (rc != 0) note_if_lost();
  return rc;
}

void PatronStore::note_if_lost() {
  const unsigned error = mysql_errno(connection_.get());
  if (error == CR_SERVER_GONE_ERROR || error == CR_SERVER_LOST) {
    lost_ = true;
    connected_ = false;
  }
}

void PatronStore::close() {
  release_result();
  connection_.reset();
  connected_ = false;
  lost_ = false;
}

std::string PatronStore::escape(std::string_view text) const {
  // The client library escapes for the connection's character set, so a
  // GBK character whose second byte is 0x5C stays one character, and with
  // quotes doubled instead of backslashes when the server runs with
  // NO_BACKSLASH_ESCAPES (it reports the mode with every reply).
  std::string out(text.size() * 2 + 1, '\0');
  const unsigned long n = mysql_real_escape_string(connection_.get(), out.data(), text.data(),
                                                   static_cast<unsigned long>(text.size()));
  if (n > text.size() * 2) throw std::runtime_error("escaping failed");
  out.resize(n);
  return out;
}

int32_t PatronStore::search_first(std::string_view key) {
  if (key.size() > kMaxKeyChars || !connection_) return static_cast<int32_t>(Status::refused);
  const Escaper escaper = [this](std::string_view text) { return escape(text); };
  const std::string statement = select_statement(key, escaper);
  // The key selects the row a later update changes, whether or not this
  // search succeeds.
  search_key_ = std::string(key);

  if (const int rc = run(statement); rc != 0) return rc;
  MYSQL_RES* stored = mysql_store_result(connection_.get());
  if (stored == nullptr) {
    note_if_lost();
    return static_cast<int32_t>(Status::store_failed);
  }

  result_.reset(stored);  // releases the previous search's result
  const uint64_t rows = mysql_num_rows(stored);
  field_count_ = static_cast<int32_t>(mysql_num_fields(stored));
  fields_ = mysql_fetch_field(stored);  // the first of the result's field array
  row_ = mysql_fetch_row(stored);
  cursor_ = Cursor::open;
  return static_cast<int32_t>(rows > 0 ? Status::ok : Status::no_row);
}

std::pair<int32_t, std::string_view> PatronStore::field(std::string_view name) const {
  constexpr auto refused = static_cast<int32_t>(Status::refused);
  if (cursor_ == Cursor::released) return {refused, {}};
  if (field_count_ < 1 || fields_ == nullptr) {
    if (!connection_) return {refused, {}};
    return {static_cast<int32_t>(mysql_errno(connection_.get())), {}};
  }
  if (row_ == nullptr) return {refused, {}};
  for (int32_t i = 0; i < field_count_; ++i) {
    if (name == std::string_view(fields_[i].name)) {
      const char* value = row_[i];
      return {static_cast<int32_t>(Status::ok),
              value != nullptr ? std::string_view(value) : std::string_view()};
    }
  }
  return {refused, {}};
}

void PatronStore::start_pending(PendingMode mode) {
  slots_.clear();
  slots_.reserve(kMaxFields);
  table_ = kTableName;
  mode_ = mode;
}

Status PatronStore::set_field(std::string_view name, std::string_view value) {
  if (name.size() > kMaxFieldNameChars || value.size() > kMaxValueChars || slots_.size() >= kMaxFields ||
      !is_plain_field_name(name)) {
    return Status::refused;
  }
  slots_.push_back(FieldSlot{std::string(name), std::string(value)});
  return Status::ok;
}

Status PatronStore::update() {
  Status outcome = Status::refused;
  // Nothing is sent without a pending record begun by add_new() or edit().
  if (connection_ && !table_.empty()) {
    const Escaper escaper = [this](std::string_view text) { return escape(text); };
    const std::optional<std::string> statement =
        mode_ == PendingMode::insert
            ? insert_statement(table_, slots_, escaper)
            : update_statement(table_, slots_, search_key_ ? search_condition(*search_key_, escaper) : "",
                               escaper);
    if (statement && run(*statement) == 0) {
      mysql_commit(connection_.get());
      outcome = Status::ok;
    }
  }
  release_result();
  return outcome;
}

void PatronStore::release_result() {
  result_.reset();
  fields_ = nullptr;
  row_ = nullptr;
  field_count_ = 0;
  if (cursor_ == Cursor::open) cursor_ = Cursor::released;
}

PatronStore& patron_store() {
  static PatronStore store;
  return store;
}

}  // namespace kk::patronlink
