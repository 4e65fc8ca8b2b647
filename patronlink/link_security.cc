#include "patronlink/link_security.h"

#include <cstdlib>

namespace kk::patronlink {

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

TlsChoice tls_from_environment() {
  TlsChoice choice;
  choice.settings =
      TlsSettings{variable(kTlsCaVariable), variable(kTlsCertVariable), variable(kTlsKeyVariable)};
  const TlsSettings& s = choice.settings;
  // A setting that cannot be honoured is an error, never a quiet fall-back
  // to a connection in clear.
  if (s.cert.empty() != s.key.empty()) {
    choice.error =
        std::string(kTlsCertVariable) + " and " + kTlsKeyVariable + " go together: set both or neither";
  } else if (!s.cert.empty() && !s.required()) {
    choice.error = std::string(kTlsCertVariable) + " needs " + kTlsCaVariable + " to verify the server";
  }
  return choice;
}

bool apply_link_options(MYSQL* connection, const TlsSettings& tls) {
  const unsigned connect_s = kConnectTimeoutS;
  const unsigned read_s = kReadTimeoutS;
  const unsigned write_s = kWriteTimeoutS;
  bool ok = mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &connect_s) == 0 &&
            mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &read_s) == 0 &&
            mysql_options(connection, MYSQL_OPT_WRITE_TIMEOUT, &write_s) == 0;
  if (!tls.required()) return ok;
  // Verification also makes the client library refuse a server that offers
  // no TLS; a CA alone would let it go on in clear.
  const my_bool verify = 1;
  ok = ok && mysql_options(connection, MYSQL_OPT_SSL_CA, tls.ca.c_str()) == 0 &&
       mysql_options(connection, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify) == 0;
  if (!tls.cert.empty()) {
    ok = ok && mysql_options(connection, MYSQL_OPT_SSL_CERT, tls.cert.c_str()) == 0 &&
         mysql_options(connection, MYSQL_OPT_SSL_KEY, tls.key.c_str()) == 0;
  }
  return ok;
}

}  // namespace kk::patronlink
