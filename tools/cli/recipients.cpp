#include "recipients.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "owned_files.hpp"
#include "phone_numbers.hpp"
#include "velmora/text.hpp"

namespace velmora::cli {

void RecipientList::add(Recipient recipient, const std::string& source, std::size_t line) {
  const Seen row{recipients_.size(), line, sourceIndex(source)};
  const auto [at, added] =
      numbers_.try_emplace(comparisonKey(recipient.mobile, rules_.region), row);
  if (!added && recipients_[at->second.index].text == recipient.text) {
    return dropped(recipient, row, at->second);
  }
  if (repeated(recipient, source, line, added ? nullptr : &at->second)) {
    if (added) numbers_.erase(at);
    return;
  }
  if (!recipient.id.empty()) ids_.emplace(recipient.id, line);
  recipients_.push_back(std::move(recipient));
}

// A row that names a number already there with another text, or an id already used: the service
// would get two texts for one person, or could not tell two answers apart.
bool RecipientList::repeated(const Recipient& recipient, const std::string& source,
                             std::size_t line, const Seen* sameNumber) {
  std::string why;
  if (sameNumber != nullptr) {
    why = recipient.mobile + " has another text than on line " + std::to_string(sameNumber->line);
  } else if (const auto id = ids_.find(recipient.id); !recipient.id.empty() && id != ids_.end()) {
    why = "the id \"" + recipient.id + "\" is also on line " + std::to_string(id->second);
  } else {
    return false;
  }
  if (rules_.allowRepeats) {
    ++repeats_;
  } else {
    problem(source, line, why + " (--allow-repeats sends the first row only)");
  }
  return true;
}

void RecipientList::dropped(const Recipient& recipient, const Seen& row, const Seen& first) {
  ++duplicates_;
  const std::string& kept = recipients_[first.index].mobile;
  if (kept == recipient.mobile) return;
  ++otherForms_;
  constexpr std::size_t kExamples = 3;
  if (examples_.size() == kExamples) return;
  const auto where = [this](const Seen& s) {
    return sources_[s.source] + ":" + std::to_string(s.line);
  };
  examples_.push_back({where(row), recipient.mobile, where(first), kept});
}

// Rows come file by file, so the last source is nearly always the one asked for.
std::size_t RecipientList::sourceIndex(const std::string& source) {
  if (sources_.empty() || sources_.back() != source) sources_.push_back(source);
  return sources_.size() - 1;
}

void RecipientList::problem(std::string source, std::size_t line, std::string reason) {
  problems_.push_back({std::move(source), line, std::move(reason)});
}

namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string_view withoutByteOrderMark(std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  return text;
}

// A number as written on a line. With a region, the spaces, dashes, dots and brackets that
// people write numbers with ("0912 000-0001", "(0912) 000 0001") are left out, as the numbering
// plans read them; without one a number is taken only as bare digits, so nothing is guessed.
std::string writtenNumber(std::string_view text, const std::string& region) {
  std::string number(trimmed(text));
  if (region.empty()) return number;
  number.erase(std::remove_if(number.begin(), number.end(),
                              [](char c) {
                                return std::string_view(" -.()").find(c) != std::string_view::npos;
                              }),
               number.end());
  return number;
}

std::string numberProblem(std::string_view number) {
  return "\"" + std::string(number) + "\" is not a phone number (an optional + and 3 to 15 digits)";
}

// One CSV record: its fields and the line it starts on, or why it cannot be read.
struct CsvRecord {
  std::size_t line = 0;
  std::vector<std::string> fields;
  std::string error;
};

// Splits CSV text into records. A quoted field may hold commas, line ends and doubled quotes.
// After an unterminated quote nothing more can be read, so it ends the list.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  std::optional<CsvRecord> next() {
    if (at_ >= text_.size()) return std::nullopt;
    CsvRecord record;
    record.line = line_;
    std::string field;
    while (true) {
      const bool quoted = at_ < text_.size() && text_[at_] == '"';
      if (!(quoted ? readQuoted(field, record) : readPlain(field, record))) return record;
      record.fields.push_back(std::move(field));
      field.clear();
      if (at_ >= text_.size()) return record;
      const char c = text_[at_++];
      if (c == ',') continue;
      if (c == '\r' && at_ < text_.size() && text_[at_] == '\n') ++at_;
      ++line_;
      return record;
    }
  }

 private:
  bool readPlain(std::string& field, CsvRecord& record) {
    const auto end = text_.find_first_of(",\r\n", at_);
    field = text_.substr(at_, end == std::string_view::npos ? std::string_view::npos : end - at_);
    at_ = end == std::string_view::npos ? text_.size() : end;
    if (field.find('"') == std::string::npos) return true;
    record.error = "a quote inside a field that does not start with one";
    skipLine();
    return false;
  }

  bool readQuoted(std::string& field, CsvRecord& record) {
    ++at_;
    while (true) {
      const auto quote = text_.find('"', at_);
      if (quote == std::string_view::npos) {
        record.error = "a quoted field is never closed";
        at_ = text_.size();
        return false;
      }
      const std::string_view part = text_.substr(at_, quote - at_);
      line_ += static_cast<std::size_t>(std::count(part.begin(), part.end(), '\n'));
      field.append(part);
      at_ = quote + 1;
      if (at_ < text_.size() && text_[at_] == '"') {
        field.push_back('"');
        ++at_;
        continue;
      }
      if (at_ >= text_.size() || std::strchr(",\r\n", text_[at_]) != nullptr) return true;
      record.error = "a closing quote must be followed by a comma or the end of the line";
      skipLine();
      return false;
    }
  }

  void skipLine() {
    const auto end = text_.find('\n', at_);
    at_ = end == std::string_view::npos ? text_.size() : end + 1;
    ++line_;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
};

// Where the columns are, from the header row.
struct Columns {
  std::size_t count = 0;
  std::optional<std::size_t> mobile;
  std::optional<std::size_t> message;
  std::optional<std::size_t> id;
};

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string columnsProblem(const CsvRecord& header, Columns& columns) {
  if (!header.error.empty()) return header.error;
  columns.count = header.fields.size();
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    const std::string name = lowered(trimmed(header.fields[i]));
    auto* slot = name == "mobile"    ? &columns.mobile
                 : name == "message" ? &columns.message
                 : name == "id"      ? &columns.id
                                     : nullptr;
    if (slot == nullptr) continue;
    if (*slot) return "the column \"" + name + "\" appears twice";
    *slot = i;
  }
  if (!columns.mobile || !columns.message) {
    return "the header row must name the columns mobile and message (and optionally id)";
  }
  return {};
}

std::string rowProblem(const CsvRecord& row, const Columns& columns, const std::string& region) {
  if (!row.error.empty()) return row.error;
  if (row.fields.size() != columns.count) {
    return std::to_string(row.fields.size()) + " fields where the header has " +
           std::to_string(columns.count);
  }
  for (const std::string& field : row.fields) {
    if (!isValidUtf8(field)) return "not UTF-8";
  }
  if (!isPhoneNumber(writtenNumber(row.fields[*columns.mobile], region))) {
    return numberProblem(trimmed(row.fields[*columns.mobile]));
  }
  if (row.fields[*columns.message].empty()) return "the message is empty";
  return {};
}

bool blank(const CsvRecord& row) {
  return row.error.empty() && row.fields.size() == 1 && trimmed(row.fields[0]).empty();
}

}  // namespace

void readNumbers(std::string_view text, const std::string& source, RecipientList& out) {
  text = withoutByteOrderMark(text);
  std::size_t line = 0;
  while (!text.empty()) {
    ++line;
    const auto end = text.find('\n');
    std::string_view content = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    content = trimmed(content.substr(0, content.find('#')));
    if (content.empty()) continue;
    if (std::string number = writtenNumber(content, out.region()); isPhoneNumber(number)) {
      out.add({std::move(number), {}, {}}, source, line);
    } else {
      out.problem(source, line, numberProblem(content));
    }
  }
}

void readCsv(std::string_view text, const std::string& source, RecipientList& out) {
  CsvReader reader(withoutByteOrderMark(text));
  std::optional<CsvRecord> header = reader.next();
  while (header && blank(*header)) header = reader.next();
  Columns columns;
  if (!header) return out.problem(source, 1, "no header row");
  if (std::string why = columnsProblem(*header, columns); !why.empty()) {
    return out.problem(source, header->line, why);
  }
  std::size_t position = 0;
  while (std::optional<CsvRecord> row = reader.next()) {
    if (blank(*row)) continue;
    ++position;
    if (std::string why = rowProblem(*row, columns, out.region()); !why.empty()) {
      out.problem(source, row->line, why);
      continue;
    }
    std::vector<std::string>& f = row->fields;
    std::string id = columns.id ? std::string(trimmed(f[*columns.id])) : "";
    out.add({writtenNumber(f[*columns.mobile], out.region()), std::move(f[*columns.message]),
             id.empty() ? std::to_string(position) : std::move(id)},
            source, row->line);
  }
}

std::string readInput(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  const tools::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw std::runtime_error("cannot read " + path + ": it is a folder, not a file");
  }
  return tools::readAll(fd.get(), path);
}

}  // namespace velmora::cli
