// The C exports of patronlink: argument checks, one call into the
// process-wide store or the digest and date helpers, result conversion.
#include <cstring>
#include <string_view>

#include "common/boundary.h"
#include "patronlink.h"
#include "patronlink/dates.h"
#include "patronlink/password.h"
#include "patronlink/patron_store.h"

using kk::patronlink::patron_store;
using kk::patronlink::Status;

namespace {
constexpr int32_t code(Status s) { return static_cast<int32_t>(s); }
constexpr int32_t kRefused = code(Status::refused);
}  // namespace

extern "C" {

int32_t KIOSKKIT_CALL ConnectDB(const char* user, const char* password, const char* host,
                                const char* database) {
  return kk::guarded(code(Status::connect_failed),
                     [&] { return code(patron_store().connect(user, password, host, database)); });
}

void KIOSKKIT_CALL CloseDB(void) {
  kk::guarded_void([] { patron_store().close(); });
}

int32_t KIOSKKIT_CALL SrchRecFirst(const char* key) {
  if (key == nullptr) return kRefused;
  return kk::guarded(kRefused, [&] { return patron_store().search_first(key); });
}

int32_t KIOSKKIT_CALL GetRecField(const char* field_name, char* value) {
  if (value == nullptr) return kRefused;
  value[0] = '\0';
  if (field_name == nullptr) return kRefused;
  return kk::guarded(kRefused, [&] {
    const auto [status, text] = patron_store().field(field_name);
    if (status == code(Status::ok)) {
      std::memcpy(value, text.data(), text.size());
      value[text.size()] = '\0';
    }
    return status;
  });
}

void KIOSKKIT_CALL AddNew(void) {
  kk::guarded_void([] { patron_store().add_new(); });
}

void KIOSKKIT_CALL Edit(void) {
  kk::guarded_void([] { patron_store().edit(); });
}

int32_t KIOSKKIT_CALL SetRecField(const char* field_name, const char* value) {
  if (field_name == nullptr || value == nullptr) return kRefused;
  return kk::guarded(kRefused, [&] { return code(patron_store().set_field(field_name, value)); });
}

int32_t KIOSKKIT_CALL Update(void) {
  return kk::guarded(kRefused, [] { return code(patron_store().update()); });
}

int32_t KIOSKKIT_CALL GetReaderPasswrod(const char* password, char* digest) {
  if (password == nullptr || digest == nullptr) return kRefused;
  // Measure at most one byte past the limit: an unterminated or huge
  // password is refused without reading it all.
  const size_t length = strnlen(password, kk::patronlink::kMaxPasswordBytes + 1);
  return kk::guarded(kRefused, [&] {
    const auto text = kk::patronlink::reader_password_digest(std::string_view(password, length));
    if (!text) return kRefused;
    std::memcpy(digest, text->data(), text->size());
    return 0;
  });
}

int32_t KIOSKKIT_CALL GetNowDate(void) {
  return kk::guarded(0, [] { return kk::patronlink::now_date(); });
}

int32_t KIOSKKIT_CALL GetEndDate(void) {
  return kk::guarded(0, [] { return kk::patronlink::end_date(); });
}

}  // extern "C"
