// Transport faults, hostile answers and the security promises, on both protocols: every fault
// ends in exactly one completion with nothing in it and the failure's printed line, and the
// credentials appear in no printed line on any of these paths.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/fault_server.hpp"
#include "support/loopback_server.hpp"
#include "text/base64.hpp"
#include "transport/session.hpp"
#include "velmora/velmora.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::FaultConnection;
using test::FaultScript;
using test::FaultServer;

const std::string kUser = "fault-user-7c1";
const std::string kPassword = "fault-secret-93e";

// What one operation ended with.
struct Outcome {
  int calls = 0;
  bool hasValue = false;
  std::vector<std::string> lines;

  bool onlyLineStartsWith(const std::string& prefix) const {
    return lines.size() == 1 && lines[0].rfind(prefix, 0) == 0;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "calls=" << o.calls << " value=" << o.hasValue << " lines:";
  for (const auto& l : o.lines) out << "\n  " << l.substr(0, 300);
  return out;
}

// The credentials may travel in the Authorization header and in the envelope, and nowhere else:
// in particular never in a line that the library prints.
void expectNoCredentials(const std::vector<std::string>& lines) {
  const std::string basic = detail::base64Encode(kUser + ":" + kPassword);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find(kUser), std::string::npos) << line;
    EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
    EXPECT_EQ(line.find(basic), std::string::npos) << line;
  }
}

enum class Side { Rest, Soap };
const char* name(Side side) {
  return side == Side::Rest ? "REST" : "SOAP";
}

// Runs one operation of `side` (GetPrices or AutoSendCode: neither prints anything before
// sending) and waits for its completion, then a little longer to catch a second one.
Outcome runOnce(Side side, const Options& options,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  struct Shared {
    test::Latch latch{1};
    std::atomic<int> calls{0};
    std::atomic<bool> hasValue{false};
  };
  auto shared = std::make_shared<Shared>();
  test::LineCapture capture;
  {
    Velmora client(kUser, kPassword, options);
    if (side == Side::Rest) {
      client.GetPrices([shared](std::shared_ptr<Result> r) {
        shared->hasValue = r != nullptr;
        ++shared->calls;
        shared->latch.done();
      });
    } else {
      client.AutoSendCode("09120000000", "footer", [shared](std::optional<std::int64_t> v) {
        shared->hasValue = v.has_value();
        ++shared->calls;
        shared->latch.done();
      });
    }
  }  // the client goes first: its request must not need it
  EXPECT_TRUE(shared->latch.wait(limit));
  std::this_thread::sleep_for(30ms);
  Outcome out{shared->calls.load(), shared->hasValue.load(), capture.lines()};
  expectNoCredentials(out.lines);
  return out;
}

Outcome runOnce(Side side, const FaultServer& server, std::chrono::milliseconds timeout = 5s) {
  return runOnce(side, test::clientOptions(server.baseUrl(), server.caFile(), timeout));
}

// A transport failure: one completion with nothing, one line "error …".
void expectTransportFailure(const Outcome& out, const std::string& detail = {}) {
  EXPECT_EQ(out.calls, 1) << out;
  EXPECT_FALSE(out.hasValue) << out;
  ASSERT_TRUE(out.onlyLineStartsWith("error ")) << out;
  EXPECT_NE(out.lines[0].find(detail), std::string::npos) << out;
}

constexpr Side kSides[] = {Side::Rest, Side::Soap};

// --- Connection faults -----------------------------------------------------------------------

struct ConnectionFault {
  const char* name;
  FaultScript script;
  const char* detail = "";  // what the error line must say, where the library itself says it
};

std::vector<ConnectionFault> connectionFaults() {
  const std::string answer = test::httpAnswer(200, R"({"Code":0,"Message":"fine"})");
  const std::string chunked = test::chunkedAnswer(200, std::string(5000, ' ') + "{}", 1000);
  std::string hugeHeaders = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 120; ++i)
    hugeHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'h') + "\r\n";
  hugeHeaders += "Content-Length: 2\r\n\r\n{}";
  // A header line that looks like a status line must not start the count over.
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
      {"reset mid body", test::resetAfterRequest(answer.substr(0, answer.size() - 5))},
      {"garbage status line", test::answerWith("SMS PANEL READY\r\n\r\n{}")},
      {"header block over 100 KiB", test::answerWith(hugeHeaders), "header block exceeds"},
      {"header block over 100 KiB with an HTTP/ line inside", test::answerWith(disguised),
       "header block exceeds"},
      {"one header line over 100 KiB",
       test::answerWith("HTTP/1.1 200 OK\r\nX-Big: " + std::string(110 * 1024, 'b') +
                        "\r\nContent-Length: 2\r\n\r\n{}")},
  };
}

TEST(TransportFaults, EachEndsInOneEmptyCompletionWithAnErrorLine) {
  for (const bool tls : {false, true}) {
    auto server =
        tls ? std::make_unique<FaultServer>(FaultServer::Tls{}) : std::make_unique<FaultServer>();
    for (const ConnectionFault& fault : connectionFaults()) {
      server->setScript(fault.script);
      for (const Side side : kSides) {
        if (side == Side::Rest && !tls) continue;  // the REST side speaks HTTPS only
        SCOPED_TRACE(std::string(name(side)) + (tls ? " over TLS: " : ": ") + fault.name);
        expectTransportFailure(runOnce(side, *server), fault.detail);
      }
    }
  }
}

TEST(TransportFaults, SteadyDripCompletesAndAStallTimesOut) {
  FaultServer server(FaultServer::Tls{});
  const std::map<Side, std::string> answers = {{Side::Rest, test::httpAnswer(200, R"({"Code":0})")},
                                               {Side::Soap, test::httpAnswer(200, "<r>42</r>")}};
  for (const Side side : kSides) {
    SCOPED_TRACE(name(side));
    // Four bytes every 50 ms with a 500 ms idle limit: the whole answer takes longer than the
    // limit, but the exchange is never idle that long.
    server.setScript(test::dripAnswer(answers.at(side), 4, 50ms));
    const auto start = std::chrono::steady_clock::now();
    const Outcome dripped = runOnce(side, server, 500ms);
    EXPECT_GT(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_EQ(dripped.calls, 1);
    EXPECT_TRUE(dripped.hasValue) << dripped;

    for (const std::string& partial : {std::string(), std::string("HTTP/1.1 200 OK\r\n")}) {
      server.setScript(test::stallAfterRequest(partial));
      expectTransportFailure(runOnce(side, server, 300ms), "timed out");
    }
  }
}

TEST(TransportFaults, BodyCapIsExactWithAndWithoutLength) {
  FaultServer server(FaultServer::Tls{});
  const std::size_t cap = detail::kMaxBodyBytes;
  // Answers that each operation reads a value from, padded to `size` bytes.
  const auto padded = [](Side side, std::size_t size) {
    std::string body = side == Side::Rest ? R"({"Code":0,"Message":"")" : "<r>42</r>";
    const std::size_t tail = side == Side::Rest ? 1 : 0;
    body.append(size - body.size() - tail, ' ');
    if (side == Side::Rest) body.push_back('}');
    return body;
  };
  for (const std::size_t size : {cap, cap + 1}) {
    for (const bool chunked : {false, true}) {
      for (const Side side : kSides) {
        SCOPED_TRACE(std::string(name(side)) + (chunked ? " chunked " : " with length ") +
                     std::to_string(size));
        const std::string body = padded(side, size);
        server.setScript(test::answerWith(chunked ? test::chunkedAnswer(200, body, 1u << 20)
                                                  : test::httpAnswer(200, body)));
        const Outcome out = runOnce(side, server);
        if (size == cap) {
          EXPECT_EQ(out.calls, 1);
          EXPECT_TRUE(out.hasValue);
        } else {
          expectTransportFailure(out, "body exceeds the limit of 16777216 bytes");
        }
      }
    }
  }
}

// What the session reports about a failure: its kind, and whether the request may have reached
// the server, which must agree with what the server read.
TEST(TransportFaults, FailureKindAndWhetherTheRequestMayHaveArrived) {
  FaultServer tls(FaultServer::Tls{});
  FaultServer plain;
  struct Case {
    const char* name;
    FaultServer* server;  // null: a port where nothing listens
    FaultScript script;
    std::chrono::milliseconds timeout, deadline;
    FailureKind kind;
    bool mayHaveArrived;
    const char* error = "";    // the start of the reason, where the library words it
    bool systemTrust = false;  // trust the system store instead of the server's certificate
  };
  const std::string answer = test::httpAnswer(200, "{}");
  std::string manyHeaders;
  for (int i = 0; i < 110; ++i) manyHeaders += "X-Filler: " + std::string(1000, 'h') + "\r\n";
  const auto trickle = [](FaultConnection& c) {
    const std::string slow = test::httpAnswer(200, std::string(20, ' ') + "{}");
    const std::size_t head = slow.find("\r\n\r\n") + 4;
    if (!c.readRequest().empty() && c.send(slow.substr(0, head)))
      c.drip(slow.substr(head), 1, 500ms);
  };
  const auto stallInHandshake = [](FaultConnection& c) {
    c.readRawBytes();
    c.stall();
  };
  const Case cases[] = {
      {"refused connection", nullptr, {}, 5s, 60s, FailureKind::Connect, false},
      {"untrusted certificate", &tls, test::answerWith(answer), 5s, 60s, FailureKind::Connect,
       false, "", true},
      {"stall inside the TLS handshake", &tls, stallInHandshake, 300ms, 60s, FailureKind::Timeout,
       false, "The request timed out: no progress for 300 ms"},
      {"stall after the request", &plain, test::stallAfterRequest(), 300ms, 60s,
       FailureKind::Timeout, true, "The request timed out: no progress for 300 ms"},
      {"a body byte every 0.5 s", &plain, trickle, 2s, 3s, FailureKind::Deadline, true,
       "The request passed its deadline of 3000 ms"},
      {"closed after the request", &tls, test::closeAfterRequest(), 5s, 60s, FailureKind::Transport,
       true},
      {"header block over the limit", &plain,
       test::answerWith("HTTP/1.1 200 OK\r\n" + manyHeaders + "\r\n"), 5s, 60s,
       FailureKind::MalformedAnswer, true,
       "The response header block exceeds the limit of 102400 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = c.server != nullptr ? c.server->requests().size() : 0;
    detail::HttpRequest request;
    if (c.server != nullptr) {
      c.server->setScript(c.script);
      request = test::requestTo(*c.server, "/x", c.timeout);
      if (c.systemTrust) request.caFile.clear();
    } else {
      request.url = test::refusedBaseUrl("http") + "/x";
      request.allowPlainHttp = true;
    }
    request.timeout = c.timeout;
    request.deadline = c.deadline;
    const test::Exchanged out = test::exchange(std::move(request));
    ASSERT_EQ(out.calls, 1);
    EXPECT_TRUE(out.response.failed);
    EXPECT_EQ(out.response.kind, c.kind) << out.response.error;
    EXPECT_EQ(out.response.error.rfind(c.error, 0), 0u) << out.response.error;
    EXPECT_EQ(out.response.requestMayHaveArrived, c.mayHaveArrived);
    const std::size_t received = c.server != nullptr ? c.server->requests().size() - before : 0;
    EXPECT_EQ(received, c.mayHaveArrived ? 1u : 0u);
    if (c.kind == FailureKind::Deadline) {
      EXPECT_GE(out.took, c.deadline);
      EXPECT_LT(out.took, c.deadline + 1500ms);  // well before the whole answer would be sent
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

TEST(TlsFaults, UntrustworthyServersAreNeverSentARequest) {
  tools::CertificateSpec expired;
  expired.notBefore = -std::chrono::hours(48);
  expired.notAfter = -std::chrono::hours(24);
  struct Case {
    const char* name;
    FaultServer::Tls tls;
    bool trustIt;  // put the server's own certificate in caFile
  };
  const Case cases[] = {
      {"certificate for another host", {certificateFor({"sms.other.example"}, {}), false}, true},
      {"expired certificate", {expired, false}, true},
      {"self-signed certificate not in caFile", {}, false},
      {"TLS 1.1 only", {{}, true}, true},
  };
  FaultServer stranger(FaultServer::Tls{});  // its certificate is the one trusted when not the own
  for (const Case& c : cases) {
    FaultServer server(c.tls);
    for (const Side side : kSides) {
      SCOPED_TRACE(std::string(name(side)) + ": " + c.name);
      const Options o = test::clientOptions(server.baseUrl(),
                                            c.trustIt ? server.caFile() : stranger.caFile(), 5s);
      expectTransportFailure(runOnce(side, o));
      EXPECT_GE(server.connections(), 1u);
      EXPECT_TRUE(server.requests().empty());
    }
    if (c.tls.tls11Only) {
      EXPECT_EQ(negotiatedByAnOldClient(server.port()), "TLSv1.1");
    }
  }
}

TEST(TlsFaults, ServerThatStopsMidHandshake) {
  FaultServer server(FaultServer::Tls{});
  for (const bool reset : {false, true}) {
    server.setScript([reset](FaultConnection& c) {
      c.readRawBytes();  // part of the client's hello, then nothing more
      reset ? c.reset() : c.close();
    });
    for (const Side side : kSides) {
      SCOPED_TRACE(std::string(name(side)) + (reset ? " reset" : " closed"));
      expectTransportFailure(runOnce(side, server));
    }
  }
  server.setScript([](FaultConnection& c) {
    c.readRawBytes();
    c.stall();
  });
  const Outcome stalled = runOnce(Side::Rest, server, 300ms);
  expectTransportFailure(stalled);
  EXPECT_NE(stalled.lines.at(0).find("timed out"), std::string::npos) << stalled;
}

// --- Redirects -------------------------------------------------------------------------------

TEST(Redirects, AreNotFollowedAndNothingReachesTheOtherHost) {
  FaultServer elsewhere(FaultServer::Tls{});
  FaultServer server(FaultServer::Tls{});
  for (const int status : {302, 307, 308}) {
    server.setScript(test::answerWith(
        test::httpAnswer(status, "", "Location: " + elsewhere.baseUrl() + "/collect\r\n")));
    for (const Side side : kSides) {
      SCOPED_TRACE(std::string(name(side)) + " " + std::to_string(status));
      const Outcome out = runOnce(side, test::clientOptions(server.baseUrl(), server.caFile(), 5s));
      EXPECT_EQ(out.calls, 1);
      EXPECT_FALSE(out.hasValue);
      ASSERT_EQ(out.lines.size(), 2u) << out;
      EXPECT_EQ(out.lines[0], "statusCode should be 2xx, but is " + std::to_string(status));
      EXPECT_EQ(out.lines[1].rfind("response = ", 0), 0u);
    }
  }
  EXPECT_EQ(elsewhere.connections(), 0u);
  // The credentials went to the server that was asked, and only there.
  const auto sent = server.requests();
  ASSERT_FALSE(sent.empty());
  const std::string basic = detail::base64Encode(kUser + ":" + kPassword);
  EXPECT_NE(sent.front().find("Authorization: Basic " + basic), std::string::npos);
}

// --- Hostile SOAP answers --------------------------------------------------------------------

struct SoapOutcome {
  int calls = 0;
  std::optional<std::int64_t> number;
  std::optional<bool> truth;
  std::vector<std::string> lines;
};

// Runs AutoSendCode and CheckSendCode against a plain server answering `body` with 200.
SoapOutcome soapAnswer(const std::string& body) {
  FaultServer server;
  server.setScript(test::answerWith(test::httpAnswer(200, body, "Content-Type: text/xml\r\n")));
  Velmora client(kUser, kPassword, test::clientOptions(server.baseUrl(), "", 5s));
  test::LineCapture capture;
  test::Latch latch(2);
  auto out = std::make_shared<SoapOutcome>();
  std::atomic<int> calls{0};
  client.AutoSendCode("0912", "f", [&, out](std::optional<std::int64_t> v) {
    out->number = v;
    ++calls;
    latch.done();
  });
  client.CheckSendCode("0912", "1", [&, out](std::optional<bool> v) {
    out->truth = v;
    ++calls;
    latch.done();
  });
  EXPECT_TRUE(latch.wait(20s));
  std::this_thread::sleep_for(30ms);
  out->calls = calls;
  out->lines = capture.lines();
  expectNoCredentials(out->lines);
  return *out;
}

bool anyLineStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

TEST(HostileSoapAnswers, TruncatedXmlIsNoAnswer) {
  for (const char* body : {"<r>4", "<r>true</r", "<soap:Envelope><soap:Body><r>42</r>"}) {
    SCOPED_TRACE(body);
    const SoapOutcome out = soapAnswer(body);
    EXPECT_EQ(out.calls, 2);
    EXPECT_FALSE(out.number.has_value());
    EXPECT_FALSE(out.truth.has_value());
    EXPECT_TRUE(anyLineStartsWith(out.lines, "answer is not well-formed XML: "));
  }
}

TEST(HostileSoapAnswers, BillionLaughsStaysSmallAndFast) {
  std::string body = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol0 \"lollollollol\">\n";
  for (int i = 1; i <= 9; ++i) {
    body += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) body += "&lol" + std::to_string(i - 1) + ";";
    body += "\">\n";
  }
  body += "]>\n<r>&lol9;</r>";  // would expand to 4 * 10^10 bytes
  const auto start = std::chrono::steady_clock::now();
  const SoapOutcome out = soapAnswer(body);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(out.calls, 2);
  EXPECT_FALSE(out.number.has_value());
  EXPECT_FALSE(out.truth.has_value());
  EXPECT_TRUE(anyLineStartsWith(out.lines, "answer is not well-formed XML: "));
  std::size_t printed = 0;
  for (const auto& line : out.lines) printed += line.size();
  EXPECT_LT(printed, 64u * 1024u * 1024u);
}

// Watches a file for any open or read through inotify.
class FileWatch {
 public:
  explicit FileWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS);
  }
  ~FileWatch() { close(fd_); }
  bool touched() const {
    char buffer[4096];
    return read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_;
};

TEST(HostileSoapAnswers, ExternalEntityIsNeverRead) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora-xxe-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string secret = (dir / "secret.txt").string();
  const std::string content = "what-only-the-disk-knows";
  std::ofstream(secret) << content;
  FileWatch watch(secret);
  for (const std::string& reference : {"file://" + secret, secret}) {
    SCOPED_TRACE(reference);
    const SoapOutcome out = soapAnswer("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"" +
                                       reference + "\">]><r>&x;</r>");
    EXPECT_EQ(out.calls, 2);
    EXPECT_FALSE(out.number.has_value());
    EXPECT_NE(out.truth, std::optional<bool>(true));
    for (const auto& line : out.lines) EXPECT_EQ(line.find(content), std::string::npos) << line;
  }
  EXPECT_FALSE(watch.touched());
  std::ifstream(secret).get();  // the watch itself works: reading the file shows
  EXPECT_TRUE(watch.touched());
  std::filesystem::remove_all(dir);
}

// --- Security --------------------------------------------------------------------------------

TEST(Security, CertificateVerificationCannotBeSwitchedOff) {
  FaultServer server(FaultServer::Tls{});
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora-ca-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string empty = (dir / "empty.pem").string();
  std::ofstream{empty};
  // Every kind of trust setting the options allow, none of which trusts the server.
  for (const std::string& caFile : {std::string(), std::string("/nonexistent/ca.pem"),
                                    std::string("/dev/null"), empty, dir.string()}) {
    for (const Side side : kSides) {
      SCOPED_TRACE(std::string(name(side)) + " caFile='" + caFile + "'");
      expectTransportFailure(runOnce(side, test::clientOptions(server.baseUrl(), caFile, 5s)));
    }
  }
  EXPECT_TRUE(server.requests().empty());
  std::filesystem::remove_all(dir);
}

TEST(Security, OnlyHttpsForRestAndHttpOrHttpsForSoap) {
  FaultServer plain;
  const std::string hostPort = plain.baseUrl().substr(std::string("http://").size());
  const std::string refused[] = {"http://", "ftp://",  "gopher://", "dict://", "telnet://",
                                 "file://", "ldap://", "smtp://",   "",        "//"};
  for (const std::string& scheme : refused) {
    Options o = test::clientOptions("", "", 5s);
    o.restBaseUrl = scheme + hostPort;
    o.soapUrl = (scheme == "http://" ? "ftp://" : scheme) + hostPort + "/fastsend.asmx";
    for (const Side side : kSides) {
      SCOPED_TRACE(std::string(name(side)) + " '" + scheme + "'");
      expectTransportFailure(runOnce(side, o), "scheme");
    }
  }
  EXPECT_EQ(plain.connections(), 0u);

  // Schemes are case-insensitive, and the SOAP side may use plain HTTP.
  FaultServer secure(FaultServer::Tls{});
  secure.setScript(test::answerWith(test::httpAnswer(200, "{}")));
  Options o = test::clientOptions("HTTPS" + secure.baseUrl().substr(5), secure.caFile(), 5s);
  EXPECT_TRUE(runOnce(Side::Rest, o).hasValue);
  plain.setScript(test::answerWith(test::httpAnswer(200, "<r>7</r>")));
  o.soapUrl = "HTTP://" + hostPort + "/fastsend.asmx";
  EXPECT_TRUE(runOnce(Side::Soap, o).hasValue);
}

// Sets or clears environment variables for one scope, and puts them back afterwards. Only
// between exchanges: libcurl reads them when a transfer starts.
class EnvironmentScope {
 public:
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvironmentScope() {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
      it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST(Proxy, ExplicitEnvironmentAndNone) {
  FaultServer proxy;
  FaultServer target;
  const std::string answer = test::httpAnswer(200, "{}");
  proxy.setScript(test::answerWith(answer));
  target.setScript(test::answerWith(answer));
  EnvironmentScope environment;
  environment.set("no_proxy", nullptr);
  environment.set("NO_PROXY", nullptr);
  environment.set("http_proxy", proxy.baseUrl().c_str());
  struct Case {
    const char* name;
    std::optional<std::string> proxy;
    bool viaProxy;
  };
  const Case cases[] = {
      {"explicit", proxy.baseUrl(), true},
      {"from the environment", std::nullopt, true},
      {"none, whatever the environment says", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = proxy.requests().size();
    detail::HttpRequest request = test::requestTo(target, "/fastsend.asmx");
    request.proxy = c.proxy;
    const test::Exchanged out = test::exchange(std::move(request));
    ASSERT_EQ(out.calls, 1);
    EXPECT_FALSE(out.response.failed) << out.response.error;
    const auto received = proxy.requests();
    ASSERT_EQ(received.size() - before, c.viaProxy ? 1u : 0u);
    if (c.viaProxy) {  // the absolute form that only a proxy is sent
      EXPECT_EQ(received.back().rfind("POST " + target.baseUrl() + "/fastsend.asmx HTTP/1.1", 0),
                0u);
    }
  }
  EXPECT_EQ(target.requests().size(), 1u);
}

TEST(Proxy, CredentialsNeverInTheReason) {
  const std::string unreachable = test::refusedBaseUrl("http").substr(7);
  FaultServer target;
  // libcurl quotes the whole proxy URL when it cannot use its scheme.
  for (const std::string scheme : {"http://", "nope://"}) {
    SCOPED_TRACE(scheme);
    detail::HttpRequest request = test::requestTo(target);
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
