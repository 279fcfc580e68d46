#include "transport/private/libcurl_lines.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>

namespace velmora::detail {
namespace {

// The whole number that starts `text`, or -1.
std::int64_t leadingNumber(std::string_view text) {
  std::int64_t value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end != text.data() ? value : -1;
}

// The number after the last occurrence of `marker` in `line`, or -1.
std::int64_t numberAfter(std::string_view line, std::string_view marker) {
  const auto at = line.rfind(marker);
  return at == std::string_view::npos ? -1 : leadingNumber(line.substr(at + marker.size()));
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "8.14.1" for 0x080e01.
std::string versionText(unsigned version) {
  return std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xffu) + "." +
         std::to_string(version & 0xffu);
}

LibcurlLine numbered(LibcurlLine::Kind kind, std::int64_t number) {
  return number < 0 ? LibcurlLine{} : LibcurlLine{kind, number};
}

// "N] OPENED stream ...": stream N; anything else ("N] [:method: POST]", a header of the
// stream, eight of them a request) names no stream, and is ruled out before any number is read.
LibcurlLine openedStream(std::string_view text) {
  const auto close = text.find(']');
  if (close == std::string_view::npos || !startsWith(text.substr(close), "] OPENED stream")) {
    return {};
  }
  std::int64_t stream = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + close, stream);
  if (error != std::errc() || end != text.data() + close) return {};
  return numbered(LibcurlLine::Kind::Stream, stream);
}

}  // namespace

LibcurlLine readLibcurlLine(std::string_view line) {
  using Kind = LibcurlLine::Kind;
  // Every line of a watched transfer passes here (a dozen per request): the first letter rules
  // most of them out before any comparison.
  switch (line.empty() ? '\0' : line[0]) {
    case 'C':  // "Connected to HOST (IP) port P (#N)" (no "#N" from 8.2); "Connection died, ..."
      if (startsWith(line, "Connected to ")) {
        return numbered(Kind::Connection, numberAfter(line, "(#"));
      }
      if (startsWith(line, "Connection died, retrying")) return {Kind::Retrying, 0};
      return {};
    case 'R':  // "Re-using existing connection #N with host HOST"; "REFUSED_STREAM, retrying ..."
      if (startsWith(line, "Re-using existing connection #")) {
        return numbered(Kind::Connection, leadingNumber(line.substr(30)));
      }
      if (startsWith(line, "REFUSED_STREAM, retrying")) return {Kind::Retrying, 0};
      return {};
    case 'U':  // "Using Stream ID: N (easy handle 0x...)", to 8.2
      if (startsWith(line, "Using Stream ID: ")) {
        return numbered(Kind::Stream, leadingNumber(line.substr(17)));
      }
      return {};
    case '[':  // "[HTTP/2] [N] OPENED stream for URL", from 8.3; "[HTTP/2] [N] [header]"
      return startsWith(line, "[HTTP/2] [") ? openedStream(line.substr(10)) : LibcurlLine{};
    case 'r':  // "recveived GOAWAY, error=E, last_stream=N" (7.88 and 8.0's spelling)
      if (startsWith(line, "recveived GOAWAY, ") || startsWith(line, "received GOAWAY, ")) {
        return numbered(Kind::GoAway, numberAfter(line, "last_stream="));
      }
      return {};
    case 'A':  // "ALPN: server accepted h2"; from 8.11 also "ALPN: server confirmed to use 'h2'"
      if (startsWith(line, "ALPN: server ")) {
        const bool h2 = startsWith(line, "ALPN: server accepted h2") ||
                        startsWith(line, "ALPN: server confirmed to use 'h2'");
        return {Kind::Alpn, h2 ? 2 : 1};
      }
      return {};
    default:
      return {};
  }
}

LibcurlDialect chooseLibcurlDialect(unsigned version, bool verboseStrings) {
  LibcurlDialect dialect;
  dialect.connectionIdInfo = version >= 0x080200;
  const char* const http1 = "; every origin speaks HTTP/1.1";
  if (!verboseStrings) {
    dialect.http2Withheld = std::string(
                                "HTTP/2 is off: this libcurl was built without its "
                                "informational lines, which prove that a stream a "
                                "server refused was never processed") +
                            http1;
  } else if (version < kFirstKnownLibcurl || version > kLastKnownLibcurl) {
    const std::string lastKnown = std::to_string(kLastKnownLibcurl >> 16) + "." +
                                  std::to_string((kLastKnownLibcurl >> 8) & 0xffu) + ".x";
    dialect.http2Withheld = "HTTP/2 is off: libcurl " + versionText(version) +
                            " is outside the versions whose HTTP/2 lines this library reads (" +
                            versionText(kFirstKnownLibcurl) + " to " + lastKnown + ")" + http1;
  }
  return dialect;
}

const LibcurlDialect& libcurlDialect() {
  static const LibcurlDialect dialect = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    // A libcurl built without its verbose strings names every failure just "Error".
    const bool verboseStrings =
        std::string_view(curl_easy_strerror(CURLE_COULDNT_CONNECT)) != "Error";
    LibcurlDialect chosen = chooseLibcurlDialect(info->version_num, verboseStrings);
    // Without HTTP/2 there is nothing to withhold.
    if ((info->features & CURL_VERSION_HTTP2) == 0) chosen.http2Withheld.clear();
    return chosen;
  }();
  return dialect;
}

void GoAwayLedger::record(std::int64_t connection, std::int64_t lastStream) {
  auto [entry, added] = lastStreams.emplace(connection, lastStream);
  // A server may send several GOAWAY frames; each may only lower the last stream id.
  if (!added) entry->second = std::min(entry->second, lastStream);
  while (lastStreams.size() > kRemembered) lastStreams.erase(lastStreams.begin());
}

bool GoAwayLedger::provesUnprocessed(std::int64_t connection, std::int64_t stream) const {
  if (connection < 0 || stream <= 0) return false;
  const auto entry = lastStreams.find(connection);
  return entry != lastStreams.end() && stream > entry->second;
}

bool GoAwayLedger::madeProgress(std::int64_t connection) const {
  const auto entry = lastStreams.find(connection);
  return entry != lastStreams.end() && entry->second > 0;
}

}  // namespace velmora::detail
