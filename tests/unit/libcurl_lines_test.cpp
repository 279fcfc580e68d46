// How libcurl's informational lines are read, version by version, and the rule that lets a
// request refused by an HTTP/2 GOAWAY go out again: only a stream provably above the GOAWAY's
// last stream id, with no answer byte, within its deadline and its resend cap.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "transport/private/goaway_resend.hpp"
#include "transport/private/libcurl_lines.hpp"

namespace velmora::detail {
namespace {

using Kind = LibcurlLine::Kind;

struct Expected {
  const char* line;  // as libcurl hands it over, line feed included
  Kind kind;
  std::int64_t number;
};

void expectRead(const std::vector<Expected>& lines) {
  for (const Expected& e : lines) {
    const LibcurlLine read = readLibcurlLine(e.line);
    EXPECT_EQ(read.kind, e.kind) << e.line;
    if (e.kind != Kind::None) {
      EXPECT_EQ(read.number, e.number) << e.line;
    }
  }
}

// Captured from libcurl 7.88.1 (Debian 12) against nginx with keepalive_requests 5.
TEST(LibcurlLines, ReadsWhatLibcurl7_88Prints) {
  expectRead({
      {"Connected to 127.0.0.1 (127.0.0.1) port 18443 (#0)\n", Kind::Connection, 0},
      {"Re-using existing connection #12 with host 127.0.0.1\n", Kind::Connection, 12},
      {"Re-using existing connection #3 with proxy 127.0.0.1\n", Kind::Connection, 3},
      {"Using Stream ID: 9 (easy handle 0x55d783121160)\n", Kind::Stream, 9},
      {"recveived GOAWAY, error=0, last_stream=9\n", Kind::GoAway, 9},
      {"ALPN: server accepted h2\n", Kind::Alpn, 2},
      {"ALPN: server accepted http/1.1\n", Kind::Alpn, 1},
      {"ALPN: server did not agree on a protocol. Uses default.\n", Kind::Alpn, 1},
      {"Connection died, retrying a fresh connect (retry count: 1)\n", Kind::Retrying, 0},
      {"REFUSED_STREAM, retrying a fresh connect\n", Kind::Retrying, 0},
      {"ALPN: offers h2,http/1.1\n", Kind::None, 0},
      {"Connection #0 to host 127.0.0.1 left intact\n", Kind::None, 0},
  });
}

// Captured from libcurl 8.14.1 (bookworm-backports) against the same server: no connection
// numbers (CURLINFO_CONN_ID gives them), streams named in a new form.
TEST(LibcurlLines, ReadsWhatLibcurl8_14Prints) {
  expectRead({
      {"[HTTP/2] [1] OPENED stream for https://127.0.0.1:18443/api/x\n", Kind::Stream, 1},
      {"[HTTP/2] [2147483647] OPENED stream for https://h/\n", Kind::Stream, 2147483647},
      {"received GOAWAY, error=0, last_stream=9\n", Kind::GoAway, 9},
      {"ALPN: server accepted h2\n", Kind::Alpn, 2},
      {"ALPN: server confirmed to use 'h2'\n", Kind::Alpn, 2},
      {"ALPN: server confirmed to use 'http/1.1'\n", Kind::Alpn, 1},
      {"Connection died, retrying a fresh connect (retry count: 1)\n", Kind::Retrying, 0},
      // Lines that name no number to believe.
      {"Connected to 127.0.0.1 (127.0.0.1) port 18443\n", Kind::None, 0},
      {"Re-using existing https: connection with host 127.0.0.1\n", Kind::None, 0},
      {"Connection #0 is not open enough, cannot reuse\n", Kind::None, 0},
      {"ALPN: curl offers h2,http/1.1\n", Kind::None, 0},
      {"SSL reusing session with ALPN '-'\n", Kind::None, 0},
      // HTTP/3 streams and a proxy tunnel's frames prove nothing about the origin's streams.
      {"[HTTP/3] [0] OPENED stream for https://h/\n", Kind::None, 0},
      {"[HTTP/2] [1] CLOSED stream\n", Kind::None, 0},
      {"[HTTP/2] [5] [:method: POST]\n", Kind::None, 0},
  });
}

// The wordings of the versions between, from libcurl's source.
TEST(LibcurlLines, ReadsTheVersionsBetween) {
  expectRead({
      {"recveived GOAWAY, error=0, last_stream=7\n", Kind::GoAway, 7},  // 8.0
      {"received GOAWAY, error=2, last_stream=0\n", Kind::GoAway, 0},   // 8.1 on
      {"Using Stream ID: 5\n", Kind::Stream, 5},                        // 8.2
      {"Connected to h (::1) port 443 (#7)\n", Kind::Connection, 7},    // to 8.1
      {"Re-using existing connection with host h\n", Kind::None, 0},    // 8.2 to 8.12
      {"received GOAWAY, error=0, last_stream=\n", Kind::None, 0},      // cut short
      {"Using Stream ID: -1 (easy handle 0x1)\n", Kind::None, 0},       // no stream
      {"[HTTP/2] [x] OPENED stream for https://h/\n", Kind::None, 0},   // no number
      {"", Kind::None, 0},
  });
}

TEST(LibcurlDialect, ChoosesHowToReadEachVersionAndWithholdsHttp2OutsideThem) {
  struct Case {
    unsigned version;
    bool verboseStrings;
    bool connectionIdInfo;
    bool http2;
  };
  for (const Case& c : std::vector<Case>{
           {0x075500, true, false, false},  // 7.85.0: prints no GOAWAY at all
           {0x0757ff, true, false, false},  // 7.87.x
           {0x075800, true, false, true},   // 7.88.0
           {0x075801, true, false, true},   // 7.88.1, Debian 12
           {0x080102, true, false, true},   // 8.1.2: the last with "#N"
           {0x080200, true, true, true},    // 8.2.0: CURLINFO_CONN_ID
           {0x080e01, true, true, true},    // 8.14.1, bookworm-backports
           {0x080eff, true, true, true},    // a later 8.14 fix
           {0x080f00, true, true, false},   // 8.15.0: untested wording
           {0x080e01, false, true, false},  // built without its informational lines
       }) {
    const LibcurlDialect d = chooseLibcurlDialect(c.version, c.verboseStrings);
    EXPECT_EQ(d.connectionIdInfo, c.connectionIdInfo) << std::hex << c.version;
    EXPECT_EQ(d.http2Withheld.empty(), c.http2) << std::hex << c.version;
  }
  EXPECT_EQ(chooseLibcurlDialect(0x080f00, true).http2Withheld,
            "HTTP/2 is off: libcurl 8.15.0 is outside the versions whose HTTP/2 lines this "
            "library reads (7.88.0 to 8.14.x); every origin speaks HTTP/1.1");
}

// scripts/test sets VELMORA_EXPECT_LIBCURL for the stage that unpacks another libcurl: the
// tests must have run against it, with HTTP/2 on.
TEST(LibcurlDialect, ThisProcessRunsTheLibcurlItWasMeantTo) {
  const char* expected = std::getenv("VELMORA_EXPECT_LIBCURL");
  if (expected == nullptr || *expected == '\0') GTEST_SKIP() << "no libcurl version expected";
  const std::string running = curl_version_info(CURLVERSION_NOW)->version;
  EXPECT_EQ(running.rfind(expected, 0), 0u) << running;
  EXPECT_EQ(libcurlDialect().http2Withheld, "");
}

// A transfer whose request went out on `connection` as `stream`, with no answer yet.
struct SentSlot {
  GoAwayLedger ledger;
  Slot slot;
  SentSlot(std::int64_t connection, std::int64_t stream) {
    slot.goaways = &ledger;
    slot.attempt.requestStarted = true;
    slot.attempt.connection = connection;
    slot.attempt.stream = stream;
  }
};

TEST(GoAwayResend, OnlyAStreamAboveTheLastStreamIdWithNoAnswerByteWasNeverProcessed) {
  SentSlot above(4, 11);
  above.ledger.record(4, 9);
  EXPECT_TRUE(provablyUnprocessed(above.slot));

  SentSlot last(4, 9);  // the last stream id itself may have been processed
  last.ledger.record(4, 9);
  EXPECT_FALSE(provablyUnprocessed(last.slot));

  SentSlot otherConnection(5, 11);
  otherConnection.ledger.record(4, 9);
  EXPECT_FALSE(provablyUnprocessed(otherConnection.slot));

  SentSlot unknownStream(4, 0);
  unknownStream.ledger.record(4, 9);
  EXPECT_FALSE(provablyUnprocessed(unknownStream.slot));

  SentSlot unknownConnection(-1, 11);
  unknownConnection.ledger.record(-1, 9);
  EXPECT_FALSE(provablyUnprocessed(unknownConnection.slot));

  SentSlot statusLine(4, 11);  // an answer started: the server processed it, whatever it says
  statusLine.ledger.record(4, 9);
  statusLine.slot.attempt.statusLine = "HTTP/2 200";
  EXPECT_FALSE(provablyUnprocessed(statusLine.slot));

  SentSlot bodyByte(4, 11);
  bodyByte.ledger.record(4, 9);
  bodyByte.slot.attempt.response.body = "{";
  EXPECT_FALSE(provablyUnprocessed(bodyByte.slot));

  SentSlot lowered(4, 11);  // a later GOAWAY may only lower the last stream id
  lowered.ledger.record(4, 13);
  lowered.ledger.record(4, 9);
  lowered.ledger.record(4, 15);
  EXPECT_TRUE(provablyUnprocessed(lowered.slot));

  SentSlot notSent(4, 11);
  notSent.ledger.record(4, 9);
  notSent.slot.attempt.requestStarted = false;
  EXPECT_FALSE(provablyUnprocessed(notSent.slot));
}

TEST(GoAwayResend, ARefusedRequestGoesOutAgainOnlyWithinItsCap) {
  Pending work;
  work.resends = kMaxResends - 1;
  EXPECT_FALSE(whyNotResent(work));
  work.resends = kMaxResends;
  const auto capped = whyNotResent(work);
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->first, FailureKind::Transport);
  EXPECT_EQ(capped->second, "The server refused the request 65 times without processing it");
}

}  // namespace
}  // namespace velmora::detail
