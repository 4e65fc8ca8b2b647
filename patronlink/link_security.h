// How the patron link keeps the terminal from hanging and its traffic from
// travelling in clear: a bound on every wait of the connection, and TLS with
// the server's certificate verified when the deployment asks for it.
//
// TLS is asked for through environment variables rather than the client
// library's option files: with them the kit itself sets certificate
// verification and refuses a connection that ends up unencrypted, whatever
// the client library would do with a partial configuration (a CA alone lets
// it fall back to clear text against a server that does not offer TLS), and
// no option group of the machine ([client] and the like, which other
// programs share) changes what existing hosts get.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>

namespace kk::patronlink {

// Seconds. The connect bound covers the TCP connection and the server's
// greeting; read and write bound each wait for the server within a call.
inline constexpr unsigned kConnectTimeoutS = 5;
inline constexpr unsigned kReadTimeoutS = 10;
inline constexpr unsigned kWriteTimeoutS = 10;

// The environment variables a deployment sets.
inline constexpr const char* kTlsCaVariable = "KIOSKKIT_PATRON_TLS_CA";
inline constexpr const char* kTlsCertVariable = "KIOSKKIT_PATRON_TLS_CERT";
inline constexpr const char* kTlsKeyVariable = "KIOSKKIT_PATRON_TLS_KEY";

struct TlsSettings {
  std::string ca;    // PEM file of the authority that signed the server's certificate; empty: no TLS
  std::string cert;  // the terminal's own certificate and key, for servers that ask for one
  std::string key;
  [[nodiscard]] bool required() const { return !ca.empty(); }
};

// The settings in the environment now, or the text of what is wrong with
// them (a certificate without its key, a client certificate without TLS).
struct TlsChoice {
  TlsSettings settings;
  std::optional<std::string> error;
};
[[nodiscard]] TlsChoice tls_from_environment();

// Puts the time-outs and `tls` on a connection object that has not connected
// yet. False when the client library refuses one of them.
[[nodiscard]] bool apply_link_options(MYSQL* connection, const TlsSettings& tls);

}  // namespace kk::patronlink
