// Reading the recipients of a campaign from files: a number a line, or CSV rows with a text each.

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace velmora::cli {

/// One recipient: its number and, for a text per recipient, its id and text (empty otherwise).
struct Recipient {
  std::string mobile;
  std::string message;
  std::string id;
};

/// A line of an input that cannot be used, with where it is and why.
struct InputProblem {
  std::string source;  ///< the file name, or "-" for standard input
  std::size_t line = 0;
  std::string reason;
};

/// Recipients gathered from any number of inputs, in order, each number once: a later row with a
/// number already seen is dropped and counted. A plain value; one thread.
class RecipientList {
 public:
  /// Adds `recipient` unless its number is already there.
  void add(Recipient recipient);
  /// Records a malformed line; nothing of it is added.
  void problem(std::string source, std::size_t line, std::string reason);

  const std::vector<Recipient>& recipients() const { return recipients_; }
  std::size_t duplicates() const { return duplicates_; }
  const std::vector<InputProblem>& problems() const { return problems_; }

 private:
  std::vector<Recipient> recipients_;
  std::unordered_set<std::string> seen_;
  std::size_t duplicates_ = 0;
  std::vector<InputProblem> problems_;
};

/// True for an optional "+" followed by 3 to 15 ASCII digits: a line or a mobile number.
bool isPhoneNumber(std::string_view text);

/// Reads one number a line from `text`, named `source` in problems. A leading byte order mark,
/// spaces around a number, blank lines and comments (from "#" to the end of the line) are
/// skipped.
void readNumbers(std::string_view text, const std::string& source, RecipientList& out);

/// Reads CSV (RFC 4180; LF or CRLF line ends; a leading byte order mark is skipped) whose header
/// names the columns "mobile" and "message" and optionally "id", in any order; other columns are
/// ignored. A row without an id gets its position among the rows, from 1. Problems are reported
/// with the line the row starts on.
void readCsv(std::string_view text, const std::string& source, RecipientList& out);

/// The whole content of `path`, or of standard input for "-". Throws std::runtime_error with a
/// printable reason when it cannot be read.
std::string readInput(const std::string& path);

}  // namespace velmora::cli
