#include "rest/json_encoder.hpp"

#include <array>

namespace velmora::detail {
namespace {

// For each byte, the text that replaces it inside a JSON string, or nullptr to keep it.
// Control characters with a short form use it; the others use \u00XX. "/" is written as "\/"
// so that an encoded text never holds "</", which some HTML-embedding readers mistake for a tag.
constexpr std::array<const char*, 256> makeEscapes() {
  std::array<const char*, 256> table{};
  constexpr const char* controls[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 32; ++c) table[c] = controls[c];
  table['"'] = "\\\"";
  table['\\'] = "\\\\";
  table['/'] = "\\/";
  return table;
}

constexpr std::array<const char*, 256> kEscapes = makeEscapes();

// `"id":"…","message":"…","mobile":"…"` with its braces, quotes, colons and commas.
constexpr std::size_t kRecordFrame = sizeof(R"({"id":"","message":"","mobile":""})") - 1;

}  // namespace

void JsonEncoder::appendEscaped(std::string& out, std::string_view text) const {
  // Copy runs of bytes that need no escaping in one go; most texts are a single run.
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* escape = kEscapes[static_cast<unsigned char>(text[i])];
    if (escape == nullptr) continue;
    out.append(text, runStart, i - runStart);
    out.append(escape);
    runStart = i + 1;
  }
  out.append(text, runStart, std::string_view::npos);
}

void JsonEncoder::append(std::string& out, const std::vector<std::string>& list) const {
  out.push_back('[');
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.push_back('"');
    appendEscaped(out, list[i]);
    out.push_back('"');
  }
  out.push_back(']');
}

void JsonEncoder::append(std::string& out, const std::vector<RecipientsMessage>& list) const {
  out.push_back('[');
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(R"({"id":")");
    appendEscaped(out, list[i].Id());
    out.append(R"(","message":")");
    appendEscaped(out, list[i].Message());
    out.append(R"(","mobile":")");
    appendEscaped(out, list[i].Mobile());
    out.append(R"("})");
  }
  out.push_back(']');
}

std::string JsonEncoder::encode(const std::vector<std::string>& list) const {
  std::string out;
  out.reserve(plainSize(list));
  append(out, list);
  return out;
}

std::string JsonEncoder::encode(const std::vector<RecipientsMessage>& list) const {
  std::string out;
  out.reserve(plainSize(list));
  append(out, list);
  return out;
}

std::size_t JsonEncoder::plainSize(const std::vector<std::string>& list) noexcept {
  // Brackets, two quotes per element, and a comma between elements.
  std::size_t size = 2 + list.size() * 3 - (list.empty() ? 0 : 1);
  for (const auto& text : list) size += text.size();
  return size;
}

std::size_t JsonEncoder::plainSize(const std::vector<RecipientsMessage>& list) noexcept {
  std::size_t size = 2 + list.size() * (kRecordFrame + 1) - (list.empty() ? 0 : 1);
  for (const auto& m : list) size += m.Id().size() + m.Message().size() + m.Mobile().size();
  return size;
}

}  // namespace velmora::detail
