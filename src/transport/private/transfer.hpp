#pragma once

// One transfer handed to libcurl: its reusable slot, the options it is set up with, the
// callbacks that watch it, and how its end is described. Touched by the I/O thread only.

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transport/private/libcurl_lines.hpp"
#include "transport/private/origin_queue.hpp"

namespace velmora::detail {

/// Largest response header block accepted (libcurl alone limits single lines, not the block).
inline constexpr std::size_t kMaxHeaderBytes = 100u * 1024u;

/// A time limit as libcurl takes it: milliseconds in a long, at least 1 (0 means "the
/// default" to libcurl) and never more than 24 hours, so that no conversion can overflow.
long curlMilliseconds(std::chrono::milliseconds limit);

/// Why the session, rather than libcurl, ended a transfer.
enum class Ended { ByLibcurl, Idle, Deadline };

/// One transfer handed to libcurl. Slots, their easy handles and their buffers are reused from
/// one request to the next, so a request costs no handle set-up.
/// What one request on a handle gathers, from its start to its end. Reset as a whole before each
/// request, so that nothing of the previous request on the same handle leaks into the next.
struct Attempt {
  HttpResponse response;
  std::string statusLine;
  std::vector<std::string> headerLines;  // of a response outside 2xx, to describe it
  bool bodyTooLarge = false;
  std::size_t headerBytes = 0;  // of the current response's header block
  bool headersTooLarge = false;
  bool headersComplete = false;  // the blank line that ends the header block arrived
  bool informational = false;    // that block was a 1xx one: a new response follows
  bool requestStarted = false;   // libcurl was about to write the request
  // The attempt under way, as libcurl's own lines name it; only read on HTTP/2 origins, where a
  // GOAWAY can prove that the server never processed the request.
  std::int64_t namedConnection = -1;       // the connection libcurl last named for this transfer
  std::int64_t connection = -1;            // the connection the request went out on
  std::int64_t stream = 0;                 // its HTTP/2 stream id; 0 unknown
  bool betweenAttempts = false;            // libcurl said it would send the request again
  bool resendStopped = false;              // and the session stopped that
  Protocol handshake = Protocol::Unknown;  // what the last TLS handshake chose
  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  Clock::time_point lastProgress;
};

/// One easy handle and its lasting setup, reused from one request to the next, and the request
/// it carries now.
struct Slot {
  CURL* easy = nullptr;
  bool configured = false;  // the options common to every request are set
  std::string caFile;       // the trust store the handle is configured with
  GoAwayLedger* goaways = nullptr;
  std::vector<Slot*>* started = nullptr;  // where a request that starts is listed (noteStarts())
  const LoopClock* clock = nullptr;       // the loop's: stamps progress and starts
  Origin* origin = nullptr;
  Pending work;
  curl_slist* headers = nullptr;
  std::vector<std::string> headerSource;  // what `headers` was built from
  int protocols = -1;    // the allowed protocols set on the handle: 0 https, 1 http too, -1 unset
  bool verbose = false;  // libcurl's lines are switched on for this handle
  std::chrono::milliseconds idleLimit{};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  Attempt attempt;  // of the request under way

  ~Slot() {
    curl_slist_free_all(headers);
    if (easy != nullptr) curl_easy_cleanup(easy);
  }
};

/// Sets `s` up for its request (`s.work`, `s.origin`), sharing `share`. Empty on success, else
/// why the request cannot be sent.
std::string configure(Slot& s, CURLSH* share);

/// The reason of a request that passed its deadline.
std::string deadlineReason(std::chrono::milliseconds deadline);

/// The kind and the printed reason of a failed transfer.
std::pair<FailureKind, std::string> describeFailure(const Slot& s, CURLcode code, Ended ended);

}  // namespace velmora::detail
