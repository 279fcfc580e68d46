// Reading the recipients of a campaign from files: a number a line, or CSV rows with a text each.

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velmora/campaign.hpp"

namespace velmora::cli {

/// One recipient: its number and, for a text per recipient, its text and id (empty otherwise).
using campaign::isPhoneNumber;
using campaign::Recipient;

/// A line of an input that cannot be used, with where it is and why.
struct InputProblem {
  std::string source;  ///< the file name, or "-" for standard input
  std::size_t line = 0;
  std::string reason;
};

/// How a list compares and merges its rows.
struct RecipientRules {
  std::string region;         ///< numbers in national form are read in it; empty: as written
  bool allowRepeats = false;  ///< keep the first of rows that disagree instead of refusing them
};

/// A row dropped because its number came before in another form, with where both rows are
/// ("numbers.txt:3", "--to:2" for the second number given by --to).
struct OtherForm {
  std::string where;
  std::string written;
  std::string firstWhere;
  std::string first;
};

/// Recipients gathered from any number of inputs, in order, each number once. Numbers are
/// compared by comparisonKey(), and the first writing is the one kept. A later row for a number
/// already seen is a duplicate (dropped and counted) when its text is the same; with another text,
/// or with an id already used, it is a repeat: a problem naming both lines, or with
/// `allowRepeats` dropped and counted apart. A plain value; one thread.
class RecipientList {
 public:
  explicit RecipientList(RecipientRules rules = {}) : rules_(std::move(rules)) {}

  /// Adds `recipient`, found on `line` of `source`, unless its number is already there.
  void add(Recipient recipient, const std::string& source = {}, std::size_t line = 0);
  /// Records a malformed line; nothing of it is added.
  void problem(std::string source, std::size_t line, std::string reason);

  const std::vector<Recipient>& recipients() const { return recipients_; }
  /// The region numbers in national form are read in; empty: none.
  const std::string& region() const { return rules_.region; }
  std::size_t duplicates() const { return duplicates_; }
  /// The duplicates written in another form than their first row, the first few of them.
  std::size_t otherForms() const { return otherForms_; }
  const std::vector<OtherForm>& otherFormExamples() const { return examples_; }
  /// Rows dropped by `allowRepeats`; without it each is a problem.
  std::size_t repeats() const { return repeats_; }
  const std::vector<InputProblem>& problems() const { return problems_; }

 private:
  // Where a kept recipient came from.
  struct Seen {
    std::size_t index = 0;
    std::size_t line = 0;
    std::size_t source = 0;  // in sources_
  };

  bool repeated(const Recipient& recipient, const std::string& source, std::size_t line,
                const Seen* sameNumber);
  void dropped(const Recipient& recipient, const Seen& row, const Seen& first);
  std::size_t sourceIndex(const std::string& source);

  RecipientRules rules_;
  std::vector<Recipient> recipients_;
  std::unordered_map<std::string, Seen> numbers_;
  std::unordered_map<std::string, std::size_t> ids_;  // the line of each id's row
  std::vector<std::string> sources_;
  std::size_t duplicates_ = 0;
  std::size_t otherForms_ = 0;
  std::vector<OtherForm> examples_;
  std::size_t repeats_ = 0;
  std::vector<InputProblem> problems_;
};

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
