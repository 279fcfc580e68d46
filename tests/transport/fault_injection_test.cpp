// The libcurl session against faulty and untrustworthy servers, plain and TLS: every fault ends
// in exactly one failed completion with its reason, and what the session says about it. What the
// operations make of a failure, hostile XML and refused URLs are the unit tests' concern.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/fault_server.hpp"
#include "transport/session.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::FaultScript;
using test::FaultServer;

// One exchange through the session: exactly one completion, failed, with `detail` in its reason.
void expectFailure(const test::Exchanged& out, const std::string& detail = {}) {
  ASSERT_EQ(out.calls, 1);
  EXPECT_TRUE(out.response.failed) << "status " << out.response.status;
  EXPECT_NE(out.response.error.find(detail), std::string::npos) << out.response.error;
}

// --- Connection faults -----------------------------------------------------------------------

// Each comes after the server read the request, so each may have arrived.
struct ConnectionFault {
  const char* name;
  FaultScript script;
  const char* detail = "";  // what the error line must say, where the library itself says it
  FailureKind kind = FailureKind::Transport;
};

std::vector<ConnectionFault> connectionFaults() {
  const std::string answer = test::httpAnswer(200, R"({"Code":0,"Message":"fine"})");
  const std::string chunked = test::chunkedAnswer(200, std::string(5000, ' ') + "{}", 1000);
  // A header block over the limit; one of its lines looks like a status line, which must not
  // start the count over.
  std::string disguised = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 120; ++i) {
    disguised += (i == 60 ? "HTTP/x: " : "X-Filler: ") + std::string(1000, 'h') + "\r\n";
  }
  disguised += "Content-Length: 2\r\n\r\n{}";
  return {
      {"closed before any byte", test::closeAfterRequest()},
      {"closed mid status line", test::closeAfterRequest("HTTP/1.1 20")},
      {"closed mid headers", test::closeAfterRequest("HTTP/1.1 200 OK\r\nContent-Le"),
       "closed before the end of the response headers"},
      {"closed mid Content-Length body",
       test::closeAfterRequest(answer.substr(0, answer.size() - 5))},
      {"closed mid chunked body", test::closeAfterRequest(chunked.substr(0, chunked.size() / 2))},
      {"reset after the request", test::resetAfterRequest()},
      {"garbage status line", test::answerWith("SMS PANEL READY\r\n\r\n{}")},
      {"header block over 100 KiB with an HTTP/ line inside", test::answerWith(disguised),
       "The response header block exceeds the limit of 102400 bytes", FailureKind::MalformedAnswer},
      {"one header line over 100 KiB",
       test::answerWith("HTTP/1.1 200 OK\r\nX-Big: " + std::string(110 * 1024, 'b') +
                        "\r\nContent-Length: 2\r\n\r\n{}")},
  };
}

// Exactly one failed completion, of the right kind, saying the request may have arrived, as the
// server's count agrees.
TEST(TransportFaults, EachEndsInOneFailedCompletionThatMayHaveArrived) {
  for (const bool tls : {false, true}) {
    auto server =
        tls ? std::make_unique<FaultServer>(FaultServer::Tls{}) : std::make_unique<FaultServer>();
    for (const ConnectionFault& fault : connectionFaults()) {
      SCOPED_TRACE(std::string(tls ? "TLS: " : "plain: ") + fault.name);
      server->setScript(fault.script);
      const std::size_t before = server->requests().size();
      const test::Exchanged out = test::exchange(test::requestTo(*server));
      expectFailure(out, fault.detail);
      EXPECT_EQ(out.response.kind, fault.kind) << out.response.error;
      EXPECT_TRUE(out.response.requestMayHaveArrived);
      EXPECT_EQ(server->requests().size() - before, 1u);
    }
  }
}

// Stalls and deadlines end exchanges on the loop's clock: loop_clock_test.cpp.
TEST(TransportFaults, SteadyDripIsNeverIdle) {
  FaultServer server(FaultServer::Tls{});
  // Four bytes every 50 ms with a 500 ms idle limit: the whole answer takes longer than the
  // limit, but the exchange is never idle that long.
  server.setScript(test::dripAnswer(test::httpAnswer(200, R"({"Code":0})"), 4, 50ms));
  const test::Exchanged dripped = test::exchange(test::requestTo(server, "/x", 500ms));
  EXPECT_GT(dripped.took, 600ms);
  EXPECT_EQ(dripped.calls, 1);
  EXPECT_FALSE(dripped.response.failed) << dripped.response.error;
  EXPECT_EQ(dripped.response.body, R"({"Code":0})");
}

TEST(TransportFaults, BodyCapIsExactWithAndWithoutLength) {
  FaultServer server(FaultServer::Tls{});
  const std::size_t cap = detail::kMaxBodyBytes;
  for (const std::size_t size : {cap, cap + 1}) {
    for (const bool chunked : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (chunked ? " chunked" : " with length"));
      const std::string body(size, ' ');
      server.setScript(test::answerWith(chunked ? test::chunkedAnswer(200, body, 1u << 20)
                                                : test::httpAnswer(200, body)));
      const test::Exchanged out = test::exchange(test::requestTo(server));
      ASSERT_EQ(out.calls, 1);
      EXPECT_EQ(out.response.failed, size > cap) << out.response.error;
      EXPECT_EQ(out.response.body.size(), size > cap ? 0u : cap);
      if (size > cap) {
        EXPECT_NE(out.response.error.find("body exceeds the limit of 16777216 bytes"),
                  std::string::npos)
            << out.response.error;
      }
    }
  }
}

// --- TLS -------------------------------------------------------------------------------------

tools::CertificateSpec certificateFor(std::vector<std::string> names,
                                      std::vector<std::string> addresses) {
  tools::CertificateSpec profile;
  profile.dnsNames = std::move(names);
  profile.ipAddresses = std::move(addresses);
  return profile;
}

// The protocol version an OpenSSL client willing to speak TLS 1.1 agrees on with the server at
// `port`, or empty when no handshake succeeds: shows that a server really offers TLS 1.1.
std::string negotiatedByAnOldClient(int port) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_security_level(context, 0);
  SSL_CTX_set_min_proto_version(context, TLS1_1_VERSION);
  SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string version;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) version = SSL_get_version(ssl);
    SSL_free(ssl);
  }
  close(fd);
  SSL_CTX_free(context);
  return version;
}

// True once `server` has accepted a connection. It counts one when it accepts it, which may come
// after the client has already given up on it (a trust store that cannot be read fails at once).
bool acceptedAConnection(const FaultServer& server) {
  return test::eventually([&] { return server.connections() >= 1; }, std::chrono::seconds(10));
}

TEST(TlsFaults, UntrustworthyServersAreNeverSentARequest) {
  tools::CertificateSpec expired;
  expired.notBefore = -std::chrono::hours(48);
  expired.notAfter = -std::chrono::hours(24);
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora-ca-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string emptyFile = (dir / "empty.pem").string();
  std::ofstream{emptyFile};
  FaultServer stranger(FaultServer::Tls{});  // a certificate that is trusted, but not the server's
  const std::string own = "own";             // the server's own certificate in caFile
  struct Case {
    const char* name;
    FaultServer::Tls tls;
    std::string caFile;
  };
  // Every kind of trust setting the options allow, none of which trusts the server, then
  // servers whose own certificate is trusted but that are not to be trusted anyway.
  const Case cases[] = {
      {"self-signed certificate not in caFile", {}, stranger.caFile()},
      {"system store", {}, ""},
      {"missing caFile", {}, "/nonexistent/ca.pem"},
      {"caFile /dev/null", {}, "/dev/null"},
      {"empty caFile", {}, emptyFile},
      {"caFile a folder", {}, dir.string()},
      {"certificate for another host", {certificateFor({"sms.other.example"}, {}), false}, own},
      {"expired certificate", {expired, false}, own},
      {"TLS 1.1 only", {{}, true}, own},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server(c.tls);
    HttpRequest request = test::requestTo(server);
    if (c.caFile != own) request.caFile = c.caFile;
    const test::Exchanged out = test::exchange(std::move(request));
    expectFailure(out);
    EXPECT_EQ(out.response.kind, FailureKind::Connect) << out.response.error;
    EXPECT_FALSE(out.response.requestMayHaveArrived);
    EXPECT_TRUE(acceptedAConnection(server));
    EXPECT_TRUE(server.requests().empty());
    if (c.tls.tls11Only) {
      EXPECT_EQ(negotiatedByAnOldClient(server.port()), "TLSv1.1");
    }
  }
  std::filesystem::remove_all(dir);
}

// --- Redirects -------------------------------------------------------------------------------

TEST(Redirects, AreNotFollowedAndNothingReachesTheOtherHost) {
  FaultServer elsewhere(FaultServer::Tls{});
  FaultServer server(FaultServer::Tls{});
  for (const int status : {302, 307, 308}) {
    SCOPED_TRACE(status);
    server.setScript(test::answerWith(
        test::httpAnswer(status, "", "Location: " + elsewhere.baseUrl() + "/collect\r\n")));
    const test::Exchanged out = test::exchange(test::requestTo(server));
    ASSERT_EQ(out.calls, 1);
    EXPECT_FALSE(out.response.failed) << out.response.error;
    EXPECT_EQ(out.response.status, status);
    EXPECT_EQ(out.response.statusLine.rfind("HTTP/1.1 " + std::to_string(status), 0), 0u);
    const std::vector<std::string>& headers = out.response.headers;
    EXPECT_NE(
        std::find(headers.begin(), headers.end(), "Location: " + elsewhere.baseUrl() + "/collect"),
        headers.end());
  }
  EXPECT_EQ(elsewhere.connections(), 0u);
  EXPECT_EQ(server.requests().size(), 3u);
}

// --- Proxies ---------------------------------------------------------------------------------

// Which proxy is used (named, from the environment, none) is walked by the command-line tests.
TEST(Proxy, CredentialsNeverInTheReason) {
  const std::string unreachable = "127.0.0.1:1";  // nothing listens on port 1
  FaultServer target;
  // libcurl quotes the whole proxy URL when it cannot use its scheme.
  for (const std::string scheme : {"http://", "nope://"}) {
    SCOPED_TRACE(scheme);
    HttpRequest request = test::requestTo(target);
    request.proxy = scheme + "proxy-user-4e1:proxy-pass-8c2@" + unreachable;
    const test::Exchanged out = test::exchange(std::move(request));
    ASSERT_EQ(out.calls, 1);
    EXPECT_EQ(out.response.kind, FailureKind::Connect) << out.response.error;
    EXPECT_FALSE(out.response.requestMayHaveArrived);
    EXPECT_EQ(out.response.error.find("proxy-pass"), std::string::npos) << out.response.error;
    EXPECT_EQ(out.response.error.find("proxy-user"), std::string::npos) << out.response.error;
  }
  EXPECT_EQ(target.connections(), 0u);
}

}  // namespace
}  // namespace velmora
