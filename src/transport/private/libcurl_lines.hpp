#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

namespace velmora::detail {

/// What one of libcurl's informational lines tells about connections and HTTP/2 streams. Only
/// the lines that libcurl 7.x writes are understood; any other wording reads as `None`, which
/// never proves anything (a request is then never sent again).
struct LibcurlLine {
  enum class Kind {
    None,
    Connection,  ///< the transfer uses connection `number` ("Connected to", "Re-using")
    Stream,      ///< the request went out as HTTP/2 stream `number`
    GoAway,      ///< the server sent GOAWAY; `number` is its last stream id
    Retrying,    ///< libcurl is about to send the request again on another connection
    Alpn,        ///< the TLS handshake chose a protocol: `number` 2 for HTTP/2, 1 otherwise
  };
  Kind kind = Kind::None;
  std::int64_t number = 0;
};

/// Reads one line as libcurl hands it to its debug callback (CURLINFO_TEXT).
LibcurlLine readLibcurlLine(std::string_view line);

/// The GOAWAY frames seen, by libcurl's connection number. HTTP/2 guarantees that a stream above
/// a GOAWAY's last stream id was not processed by the server, so its request may go out again.
/// Touched by the I/O thread only.
class GoAwayLedger {
 public:
  /// Connection `connection` received a GOAWAY whose last stream id is `lastStream`.
  void record(std::int64_t connection, std::int64_t lastStream);
  /// True when stream `stream` of `connection` is above a GOAWAY's last stream id.
  bool provesUnprocessed(std::int64_t connection, std::int64_t stream) const;
  /// True when `connection`'s GOAWAY says the server processed some stream on it: the server
  /// is working through requests, only not all of them on that connection.
  bool madeProgress(std::int64_t connection) const;

 private:
  // libcurl numbers connections in the order it makes them; the oldest are forgotten first.
  static constexpr std::size_t kRemembered = 256;
  std::map<std::int64_t, std::int64_t> lastStreams;
};

}  // namespace velmora::detail
