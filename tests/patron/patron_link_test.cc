// patronlink's bounds and TLS against the throwaway server (db-start.sh): a
// connect to an address that drops packets, or to one that never greets,
// returns within the connect bound; a query stuck behind a lock returns
// within the read bound and the next ConnectDB starts afresh; a server that
// requires TLS accepts the kit set up with the environment variables and
// refuses it without them, with a foreign authority or without the client
// certificate its account asks for.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "db_fixture.h"
#include "patronlink/link_security.h"
#include "patronlink/patron_store.h"

namespace kk::patronlink {
namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listener on <address>:3306 that never answers. With `drop_syn` its one
// place in the accept queue is taken, so the kernel drops every further SYN,
// as a firewall that swallows packets does (and no root is needed for it);
// otherwise it completes the TCP handshake but never sends the server's
// greeting.
class DeadListener {
 public:
  DeadListener(const char* address, bool drop_syn) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kDatabasePort);
    if (inet_pton(AF_INET, address, &at.sin_addr) != 1) return;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener_, drop_syn ? 0 : 8) != 0)
      return;
    if (drop_syn) {
      filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(filler_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) return;
    }
    ready_ = true;
  }
  ~DeadListener() {
    if (filler_ >= 0) close(filler_);
    if (listener_ >= 0) close(listener_);
  }
  DeadListener(const DeadListener&) = delete;
  DeadListener& operator=(const DeadListener&) = delete;
  [[nodiscard]] bool ready() const { return ready_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  bool ready_ = false;
};

TEST(PatronLinkBounds, ConnectToAnAddressThatNeverAnswersReturnsWithinTheBound) {
  const struct {
    const char* name;
    const char* address;
    bool drop_syn;
    const char* reason;
  } cases[] = {
      {"packets dropped", "127.0.0.3", true, "Can't connect"},
      {"no greeting", "127.0.0.4", false, "handshake"},
  };
  constexpr int64_t kBoundMs = kConnectTimeoutS * 1000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeadListener listener(c.address, c.drop_syn);
    ASSERT_TRUE(listener.ready());
    PatronStore store;
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const Status status =
        store.connect(test::kKioskUser, test::kKioskPassword, c.address, test::kKioskDatabase);
    const int64_t elapsed = ms_since(start);
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, Status::connect_failed);
    EXPECT_THAT(message, HasSubstr(c.reason));
    EXPECT_GE(elapsed, kBoundMs - 500) << "it was the time-out that ended the wait";
    EXPECT_LT(elapsed, kBoundMs + 5000);
  }
}

class PatronLink : public testing::Test {
 protected:
  void SetUp() override {
    admin_ = std::make_unique<test::AdminConnection>();
    test::reset_reader_table(*admin_);
  }
  void TearDown() override {
    for (const char* name : {kTlsCaVariable, kTlsCertVariable, kTlsKeyVariable}) unsetenv(name);
    admin_->exec("SET GLOBAL require_secure_transport = OFF");
  }

  std::unique_ptr<test::AdminConnection> admin_;
};

TEST_F(PatronLink, QueryStuckBehindALockReturnsWithinTheReadBoundAndConnectStartsAfresh) {
  PatronStore store;
  ASSERT_EQ(store.connect(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase),
            Status::ok);
  ASSERT_EQ(store.search_first("K"), 0);
  {
    test::AdminConnection locker;
    locker.exec("LOCK TABLES READER WRITE");
    const auto start = Clock::now();
    EXPECT_NE(store.search_first("P001"), 0);
    const int64_t elapsed = ms_since(start);
    EXPECT_GE(elapsed, kReadTimeoutS * 1000 - 500);
    EXPECT_LT(elapsed, kReadTimeoutS * 1000 + 5000);
    locker.exec("UNLOCK TABLES");
  }
  // The cut connection is not taken for a live one: connecting again
  // reaches the server, and the link works.
  const test::QueryLog log;
  ASSERT_EQ(store.connect(test::kKioskUser, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase),
            Status::ok);
  bool reconnected = false;
  for (const auto& e : log.entries()) reconnected = reconnected || e.command == "Connect";
  EXPECT_TRUE(reconnected);
  ASSERT_EQ(store.search_first("P001"), 0);
  EXPECT_EQ(store.field("A").second, "x");
}

TEST_F(PatronLink, ServerRequiringTlsAcceptsTheKitOnlyWithVerifiedTls) {
  admin_->exec("SET GLOBAL require_secure_transport = ON");
  const std::string tls = test::db_dir() + "/tls/";
  const struct {
    const char* name;
    std::string ca, cert, key;
    const char* user;
    const char* reason;  // nullptr: connects
  } cases[] = {
      {"no TLS", "", "", "", test::kKioskUser, "Access denied"},
      {"TLS, the server's authority", tls + "ca.pem", "", "", test::kKioskUser, nullptr},
      {"an authority that signed nothing here", tls + "stranger-ca.pem", "", "", test::kKioskUser,
       "certificate"},
      {"the terminal's certificate", tls + "ca.pem", tls + "client.pem", tls + "client-key.pem", "kiosk-x509",
       nullptr},
      {"an account that wants a certificate, without one", tls + "ca.pem", "", "", "kiosk-x509",
       "Access denied"},
      {"a certificate without its key", tls + "ca.pem", tls + "client.pem", "", "kiosk-x509", "go together"},
      {"a certificate without TLS", "", tls + "client.pem", tls + "client-key.pem", "kiosk-x509", "needs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv(kTlsCaVariable, c.ca.c_str(), 1);
    setenv(kTlsCertVariable, c.cert.c_str(), 1);
    setenv(kTlsKeyVariable, c.key.c_str(), 1);
    PatronStore store;
    const test::QueryLog log;
    testing::internal::CaptureStderr();
    const Status status = store.connect(c.user, test::kKioskPassword, test::kKioskHost, test::kKioskDatabase);
    const std::string message = testing::internal::GetCapturedStderr();
    if (c.reason == nullptr) {
      EXPECT_EQ(status, Status::ok) << message;
      EXPECT_EQ(store.search_first("K"), 0);
      continue;
    }
    EXPECT_EQ(status, Status::connect_failed);
    EXPECT_THAT(message, HasSubstr(c.reason));
    if (std::string(c.reason) == "go together" || std::string(c.reason) == "needs") {
      bool contacted = false;
      for (const auto& e : log.entries()) contacted = contacted || e.command == "Connect";
      EXPECT_FALSE(contacted) << "a setting that cannot be honoured sends nothing";
    }
  }
}

}  // namespace
}  // namespace kk::patronlink
