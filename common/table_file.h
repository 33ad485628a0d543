// The table-file text layer: a table names code units with text, and with it
// script text becomes code units (puremake) and code units become script text
// (textdump). Pure logic: the callers read and write the files.
//
// The table file, UTF-8 (a byte-order mark at the very start is skipped),
// one entry a line, lines ending in LF or CRLF:
//   HHHH=text    unit HHHH (exactly four hex digits, either case) is `text`
//   /HHHH=text   the same, and the unit ends a string
//   #...         a comment; empty lines are ignored as well
// `text` is everything after the first '=', one character or more; in it
// "\n" is a line break and "\\" a backslash, and any other backslash is
// refused. A unit is given once; two units may share a text, and encoding
// uses the first. A text may not hold '{' (in a script it always begins a
// written unit), nor a carriage return (a script reads CRLF as LF), nor begin
// with U+FEFF (a script skips it at the start as a byte-order mark).
//
// The script file, UTF-8 (a byte-order mark at the very start is skipped;
// CRLF reads as LF):
//   text      each stretch is the unit whose table text matches it longest;
//             at a tie, the entry that comes first in the table
//   {HHHH}    unit HHHH as it stands, named by the table or not; it wins
//             over table texts at the same place
// A unit that takes an argument (see code_unit.h) is followed by the
// argument, written {HHHH}; only at the very end of the file may it lack
// one. A string ends after each unit the table marks as an end unit (after
// its argument, when it takes one; an argument never ends a string), and one
// line break right there is layout, not text. Text after the last end unit
// forms a last string; an empty file holds no strings. A refusal gives the
// line and the column (in characters), and shows unmatched text up to where
// a match can begin or the line ends: at most 40 characters, a line break
// as \n.
//
// Decoding writes a unit the table names as its text and any other as
// {HHHH} (uppercase), an argument always as {HHHH}, and a line break after
// each string's end. Such text encodes back to the same units when no table
// text begins another. When some do, the longest match may choose other
// units with the same text, as long as it never stops where nothing
// matches: say every character (the line break too) has an entry of its
// own, and the text of each argument-taking unit, such as "[name]", has
// brackets no other text holds. Longest match never backs off to a shorter
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "common/code_unit.h"

namespace common {

enum class TextFault {
  kMissingEquals,      // a table line without '='
  kBadUnit,            // not exactly four hex digits before '='
  kEmptyText,          // nothing after '='
  kBadEscape,          // a backslash that begins neither "\n" nor "\\"
  kReservedCharacter,  // '{', a carriage return or a leading U+FEFF in a text
  kUnitGivenTwice,
  kInvalidUtf8,      // in a table or a script
  kUnmatchedText,    // script text that no table text matches
  kMissingArgument,  // no {HHHH} after a unit that takes an argument
};

// Why and where a table or a script was refused. `message` is the whole text
// to print, e.g. "intro.tbl:12: unit 1F41 is given twice (first on line 3)".
struct Refusal {
  TextFault fault = TextFault::kMissingEquals;
  std::uint64_t line = 0;    // 1-based
  std::uint64_t column = 0;  // 1-based, in characters; 0: the whole line
  std::string message;
  bool operator==(const Refusal&) const = default;
};

// Checks UTF-8 one byte at a time; overlong forms, surrogates and values
// above U+10FFFF are invalid. After kInvalid it starts afresh.
class Utf8Checker {
 public:
  enum class Result { kPartial, kCharacter, kInvalid };
  Result Put(std::uint8_t byte);
  // True while a character has begun but not ended.
  bool partial() const { return remaining_ > 0; }

 private:
  Result Start(std::uint8_t byte);

  unsigned remaining_ = 0;
  std::uint8_t low_ = 0x80;  // range of the next continuation byte
  std::uint8_t high_ = 0xBF;
};

// Texts as a trie over their UTF-8 bytes, walked a byte at a time from kRoot.
class TextTrie {
 public:
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  TextTrie() : nodes_(1) {}
  // Lets `text` lead to `entry`, unless an earlier entry has the same text.
  void Add(std::string_view text, std::uint32_t entry);
  // The node after `byte`, or kNone when no text goes on that way.
  std::uint32_t Next(std::uint32_t node, std::uint8_t byte) const;
  // The entry whose text ends at `node`, or kNone.
  std::uint32_t EntryAt(std::uint32_t node) const { return nodes_[node].entry; }
  bool HasNext(std::uint32_t node) const { return nodes_[node].has_next; }

 private:
  struct Node {
    std::uint32_t entry = kNone;
    bool has_next = false;
  };

  std::vector<Node> nodes_;
  std::unordered_map<std::uint64_t, std::uint32_t> edges_;  // node<<8 | byte
};

struct TableEntry {
  CodeUnit unit = 0;
  std::string text;  // UTF-8; a line break is LF
  bool ends_string = false;
  std::uint64_t line = 0;  // where the table file gives it
};

class Table;

// Reads a table file's bytes; `name` begins each message.
std::variant<Table, Refusal> ParseTable(std::string_view name,
                                        std::span<const std::uint8_t> bytes);

// The entries of a table file, in file order, found by unit and by text.
class Table {
 public:
  Table();

  const std::vector<TableEntry>& entries() const { return entries_; }
  // The entry naming `unit`, or nullptr when the table lacks it.
  const TableEntry* Find(CodeUnit unit) const;
  bool EndsString(CodeUnit unit) const;
  // Leads from text to an index into entries().
  const TextTrie& trie() const { return trie_; }

 private:
  friend std::variant<Table, Refusal> ParseTable(
      std::string_view name, std::span<const std::uint8_t> bytes);
  // REQUIRES: Find(entry.unit) is nullptr, and the text passed ParseTable.
  void Add(TableEntry entry);

  std::vector<TableEntry> entries_;
  std::vector<std::uint32_t> entry_by_unit_;  // TextTrie::kNone: not named
  TextTrie trie_;
};

// Receives what a ScriptEncoder reads, in order.
class EncodeSink {
 public:
  virtual ~EncodeSink() = default;
  virtual void PutUnit(CodeUnit unit) = 0;
  // The units put since the last EndString (at least one) form a string.
  virtual void EndString() = 0;
};

// Encodes script text fed in chunks of any size, with the same result however
// it is cut. It holds back only what a pending match may still need: at most
// the longest table text (six bytes for {HHHH}), a partial character and a
// carriage return. After a refusal what the sink received is meaningless.
class ScriptEncoder {
 public:
  // `table` and `sink` must outlive the encoder; `name` begins each message.
  ScriptEncoder(const Table& table, std::string name, EncodeSink& sink);

  // Returns false once the script is refused; refusal() says why.
  bool Feed(std::span<const std::uint8_t> bytes);
  // Ends the input and the last string. Call once, after the last Feed.
  bool Finish();
  const std::optional<Refusal>& refusal() const { return refusal_; }
  // Bytes fed but not yet decided.
  std::size_t pending_bytes() const;

 private:
  struct Match {
    enum class Kind { kNeedMore, kNone, kUnit };
    Kind kind = Kind::kNone;
    CodeUnit unit = 0;
    std::size_t length = 0;
  };
  // An unmatched stretch, gathered for its refusal.
  struct Stretch {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::string shown;
    std::size_t characters = 0;
  };

  void Accept(std::uint8_t byte);
  void AcceptCharacter();
  void EndInput();
  void Decide();
  bool DecideNext();
  bool TakeArgument();
  void TakeUnit(CodeUnit unit, std::size_t length);
  void EndString();
  Match MatchAt(std::size_t at) const;
  Match WrittenUnitAt(std::size_t at) const;
  Match TableTextAt(std::size_t at) const;
  void BeginStretch();
  bool ExtendStretch();
  void TakeIntoStretch();
  void RefuseStretch(bool cut_short);
  void Consume(std::size_t length);

  const Table& table_;
  std::string name_;
  EncodeSink& sink_;

  // Reading: UTF-8 checked, the byte-order mark dropped, CRLF made LF.
  Utf8Checker utf8_;
  std::string character_;  // the bytes of the character being read
  std::uint64_t read_line_ = 1;
  std::uint64_t read_column_ = 1;
  bool at_start_ = true;
  bool carriage_return_held_ = false;
  bool input_ended_ = false;           // no byte follows the window
  std::optional<Refusal> utf8_fault_;  // where the input ended early

  // Undecided text from window_[begin_], which stands at line_:column_.
  std::string window_;
  std::size_t begin_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t column_ = 1;

  bool string_open_ = false;
  bool after_end_ = false;  // a line break here is layout
  bool argument_next_ = false;
  bool argument_ends_string_ = false;
  CodeUnit argument_taker_ = 0;
  std::optional<Stretch> stretch_;
  std::optional<Refusal> refusal_;
};

enum class DecodeMode {
  kPlain,
  // Units the table lacks, other than text characters and argument-taking
  // codes, are pair units: low byte the first character code, high byte the
  // second, each written as that text character.
  kDte,
};

// Writes script text for units given one at a time.
class ScriptDecoder {
 public:
  // `table` must outlive the decoder.
  ScriptDecoder(const Table& table, DecodeMode mode)
      : table_(table), mode_(mode) {}
  // Appends the text for the next unit to `out`.
  void Put(CodeUnit unit, std::string& out);

 private:
  void PutSingle(CodeUnit unit, std::string& out);

  const Table& table_;
  DecodeMode mode_;
  bool argument_next_ = false;
  bool argument_ends_string_ = false;
};

}  // namespace common
