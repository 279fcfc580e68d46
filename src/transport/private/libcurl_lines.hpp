#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace velmora::detail {

/// What one of libcurl's informational lines tells about connections and HTTP/2 streams. Every
/// wording of the versions in `kFirstKnownLibcurl` to `kLastKnownLibcurl` is understood; any
/// other line reads as `None`, which never proves anything (a request is then never sent again).
struct LibcurlLine {
  enum class Kind {
    None,
    Connection,  ///< the transfer uses connection `number` ("#N", printed before libcurl 8.2)
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

/// The oldest libcurl whose lines name a GOAWAY's last stream id (7.88.0), and the newest whose
/// lines this library has been tested against (8.14.x), as libcurl's version numbers.
inline constexpr unsigned kFirstKnownLibcurl = 0x075800;
inline constexpr unsigned kLastKnownLibcurl = 0x080eff;

/// How a libcurl tells which connection and stream a request went out on, chosen once per
/// process from its version (see `libcurlDialect()`).
struct LibcurlDialect {
  /// The connection comes from CURLINFO_CONN_ID (libcurl 8.2.0 on); before, from "#N" lines.
  bool connectionIdInfo = false;
  /// Why every origin speaks HTTP/1.1: this libcurl's lines cannot prove that a stream was
  /// never processed, so HTTP/2 would report refused streams as possibly delivered. Empty when
  /// HTTP/2 may be used.
  std::string http2Withheld;
};

/// The dialect of libcurl `version` (0xXXYYZZ), built with its informational lines
/// (`verboseStrings`) or without. Pure, for tests; the session uses `libcurlDialect()`.
LibcurlDialect chooseLibcurlDialect(unsigned version, bool verboseStrings);

/// The dialect of the libcurl this process runs with, read once. Any thread.
const LibcurlDialect& libcurlDialect();

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
