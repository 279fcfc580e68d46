#include "transport/private/libcurl_lines.hpp"

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

LibcurlLine numbered(LibcurlLine::Kind kind, std::int64_t number) {
  return number < 0 ? LibcurlLine{} : LibcurlLine{kind, number};
}

}  // namespace

LibcurlLine readLibcurlLine(std::string_view line) {
  using Kind = LibcurlLine::Kind;
  // Every line of a watched transfer passes here (a dozen per request): the first letter rules
  // most of them out before any comparison.
  switch (line.empty() ? '\0' : line[0]) {
    case 'C':  // "Connected to HOST (IP) port P (#N)"; "Connection died, retrying a fresh ..."
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
    case 'U':  // "Using Stream ID: N (easy handle 0x...)"
      if (startsWith(line, "Using Stream ID: ")) {
        return numbered(Kind::Stream, leadingNumber(line.substr(17)));
      }
      return {};
    case 'r':  // "recveived GOAWAY, error=E, last_stream=N" (libcurl 7.88's spelling)
      if (startsWith(line, "recveived GOAWAY, ") || startsWith(line, "received GOAWAY, ")) {
        return numbered(Kind::GoAway, numberAfter(line, "last_stream="));
      }
      return {};
    case 'A':  // "ALPN: server accepted h2" (or "http/1.1"); "ALPN: server did not agree ..."
      if (startsWith(line, "ALPN: server ")) {
        return {Kind::Alpn, startsWith(line, "ALPN: server accepted h2") ? 2 : 1};
      }
      return {};
    default:
      return {};
  }
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
