#include "common/table_file.h"

#include <algorithm>
#include <utility>

namespace common {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kUnitCount = 0x10000;
constexpr std::size_t kWrittenUnitSize = 6;  // {HHHH}
// A longer unmatched stretch is shown cut short, so that memory stays flat.
constexpr std::size_t kMaxShownCharacters = 40;
// Bytes taken in before deciding, so a huge chunk is never copied whole.
constexpr std::size_t kFeedPiece = 4096;

std::string Where(std::string_view name, std::uint64_t line,
                  std::uint64_t column) {
  std::string where(name);
  where += ':' + std::to_string(line);
  if (column > 0) where += ':' + std::to_string(column);
  return where;
}

Refusal Refuse(TextFault fault, std::string_view name, std::uint64_t line,
               std::uint64_t column, std::string_view what) {
  return {fault, line, column,
          Where(name, line, column) + ": " + std::string(what)};
}

void AppendHex(std::string& out, CodeUnit unit) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 12; shift >= 0; shift -= 4) {
    out += kDigits[(unit >> shift) & 0xF];
  }
}

// {HHHH}, as a script writes a unit by its value.
void AppendWritten(std::string& out, CodeUnit unit) {
  out += '{';
  AppendHex(out, unit);
  out += '}';
}

std::string Hex(CodeUnit unit) {
  std::string hex;
  AppendHex(hex, unit);
  return hex;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// REQUIRES: digits.size() == 4.
std::optional<CodeUnit> ParseHex(std::string_view digits) {
  unsigned value = 0;
  for (const char c : digits) {
    const int digit = HexValue(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<unsigned>(digit);
  }
  return static_cast<CodeUnit>(value);
}

bool IsContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// REQUIRES: `lead` begins a valid UTF-8 character.
std::size_t CharacterLength(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  return byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
}

// The 1-based column, in characters, of the byte at `offset`.
std::uint64_t ColumnOf(std::string_view line, std::size_t offset) {
  const std::string_view before = line.substr(0, offset);
  return 1 + static_cast<std::uint64_t>(
                 std::count_if(before.begin(), before.end(),
                               [](char c) { return !IsContinuation(c); }));
}

// Takes the next line off `rest`, without its LF or CRLF.
std::string_view TakeLine(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  if (end != std::string_view::npos && line.ends_with('\r')) {
    line.remove_suffix(1);
  }
  return line;
}

// The offset of the first invalid UTF-8 character in `line`, or npos.
std::size_t FindInvalidUtf8(std::string_view line) {
  Utf8Checker checker;
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!checker.partial()) start = i;
    const auto byte = static_cast<std::uint8_t>(line[i]);
    if (checker.Put(byte) == Utf8Checker::Result::kInvalid) return start;
  }
  return checker.partial() ? start : std::string_view::npos;
}

// Turns "\n" into LF and "\\" into a backslash. Returns the offset of the
// first other backslash, or nullopt.
std::optional<std::size_t> Unescape(std::string_view raw, std::string& text) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      text += raw[i];
      continue;
    }
    const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
    if (next != 'n' && next != '\\') return i;
    text += next == 'n' ? '\n' : '\\';
    ++i;
  }
  return std::nullopt;
}

struct Reserved {
  std::size_t offset;
  const char* what;
};

// Finds what a script file would read otherwise than the table means it.
std::optional<Reserved> FindReserved(std::string_view raw) {
  if (raw.starts_with(kByteOrderMark)) {
    return Reserved{0,
                    "a text may not begin with U+FEFF, which a script "
                    "skips as a byte-order mark"};
  }
  const std::size_t at = raw.find_first_of("{\r");
  if (at == std::string_view::npos) return std::nullopt;
  if (raw[at] == '{') {
    return Reserved{at,
                    "a text may not hold '{', which begins a unit "
                    "written {HHHH} in a script"};
  }
  return Reserved{at,
                  "a text may not hold a carriage return, since a "
                  "script reads CRLF as LF"};
}

// Reads one line of a table; sets `entry` when the line gives one.
std::optional<Refusal> ParseLine(std::string_view name, std::string_view line,
                                 std::uint64_t number,
                                 std::optional<TableEntry>& entry) {
  const std::size_t invalid = FindInvalidUtf8(line);
  if (invalid != std::string_view::npos) {
    return Refuse(TextFault::kInvalidUtf8, name, number,
                  ColumnOf(line, invalid), "invalid UTF-8");
  }
  if (line.empty() || line[0] == '#') return std::nullopt;
  const bool ends_string = line[0] == '/';
  const std::size_t unit_at = ends_string ? 1 : 0;
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    return Refuse(TextFault::kMissingEquals, name, number, 0,
                  "missing '=' (a line reads HHHH=text or /HHHH=text)");
  }
  const std::string_view digits = line.substr(unit_at, equals - unit_at);
  const std::optional<CodeUnit> unit =
      digits.size() == 4 ? ParseHex(digits) : std::nullopt;
  if (!unit) {
    return Refuse(TextFault::kBadUnit, name, number, 0,
                  "expected exactly four hex digits before '='");
  }
  const std::string_view raw = line.substr(equals + 1);
  if (raw.empty()) {
    return Refuse(TextFault::kEmptyText, name, number, 0,
                  "unit " + Hex(*unit) + " has no text");
  }
  std::string text;
  if (const std::optional<std::size_t> bad = Unescape(raw, text)) {
    return Refuse(TextFault::kBadEscape, name, number,
                  ColumnOf(line, equals + 1 + *bad),
                  "bad escape (a backslash begins only \\n or \\\\)");
  }
  if (const std::optional<Reserved> reserved = FindReserved(raw)) {
    return Refuse(TextFault::kReservedCharacter, name, number,
                  ColumnOf(line, equals + 1 + reserved->offset),
                  reserved->what);
  }
  entry = TableEntry{*unit, std::move(text), ends_string, number};
  return std::nullopt;
}

}  // namespace

Utf8Checker::Result Utf8Checker::Put(std::uint8_t byte) {
  if (remaining_ == 0) return Start(byte);
  if (byte < low_ || byte > high_) {
    remaining_ = 0;
    return Result::kInvalid;
  }
  low_ = 0x80;
  high_ = 0xBF;
  return --remaining_ == 0 ? Result::kCharacter : Result::kPartial;
}

Utf8Checker::Result Utf8Checker::Start(std::uint8_t byte) {
  if (byte < 0x80) return Result::kCharacter;
  // C0 and C1 would only begin overlong forms, F5 and up values past
  // U+10FFFF.
  if (byte < 0xC2 || byte > 0xF4) return Result::kInvalid;
  remaining_ = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
  // The second byte rules out the overlong forms after E0 and F0, the
  // surrogates after ED and the values past U+10FFFF after F4.
  low_ = byte == 0xE0 ? 0xA0 : byte == 0xF0 ? 0x90 : 0x80;
  high_ = byte == 0xED ? 0x9F : byte == 0xF4 ? 0x8F : 0xBF;
  return Result::kPartial;
}

void TextTrie::Add(std::string_view text, std::uint32_t entry) {
  std::uint32_t node = kRoot;
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    std::uint32_t next = Next(node, byte);
    if (next == kNone) {
      next = static_cast<std::uint32_t>(nodes_.size());
      nodes_.emplace_back();
      nodes_[node].has_next = true;
      edges_.emplace(std::uint64_t{node} << 8 | byte, next);
    }
    node = next;
  }
  if (nodes_[node].entry == kNone) nodes_[node].entry = entry;
}

std::uint32_t TextTrie::Next(std::uint32_t node, std::uint8_t byte) const {
  const auto edge = edges_.find(std::uint64_t{node} << 8 | byte);
  return edge == edges_.end() ? kNone : edge->second;
}

Table::Table() : entry_by_unit_(kUnitCount, TextTrie::kNone) {}

const TableEntry* Table::Find(CodeUnit unit) const {
  const std::uint32_t index = entry_by_unit_[unit];
  return index == TextTrie::kNone ? nullptr : &entries_[index];
}

bool Table::EndsString(CodeUnit unit) const {
  const TableEntry* entry = Find(unit);
  return entry != nullptr && entry->ends_string;
}

void Table::Add(TableEntry entry) {
  const auto index = static_cast<std::uint32_t>(entries_.size());
  entry_by_unit_[entry.unit] = index;
  trie_.Add(entry.text, index);
  entries_.push_back(std::move(entry));
}

std::variant<Table, Refusal> ParseTable(std::string_view name,
                                        std::span<const std::uint8_t> bytes) {
  std::string_view rest(reinterpret_cast<const char*>(bytes.data()),
                        bytes.size());
  if (rest.starts_with(kByteOrderMark))
    rest.remove_prefix(kByteOrderMark.size());
  Table table;
  for (std::uint64_t number = 1; !rest.empty(); ++number) {
    const std::string_view line = TakeLine(rest);
    std::optional<TableEntry> entry;
    if (std::optional<Refusal> refusal = ParseLine(name, line, number, entry)) {
      return *std::move(refusal);
    }
    if (!entry) continue;
    if (const TableEntry* first = table.Find(entry->unit)) {
      return Refuse(TextFault::kUnitGivenTwice, name, number, 0,
                    "unit " + Hex(entry->unit) +
                        " is given twice (first on line " +
                        std::to_string(first->line) + ")");
    }
    table.Add(*std::move(entry));
  }
  return table;
}

ScriptEncoder::ScriptEncoder(const Table& table, std::string name,
                             EncodeSink& sink)
    : table_(table), name_(std::move(name)), sink_(sink) {}

bool ScriptEncoder::Feed(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && !input_ended_ && !refusal_) {
    const std::size_t piece = std::min(bytes.size(), kFeedPiece);
    for (const std::uint8_t byte : bytes.first(piece)) {
      Accept(byte);
      if (input_ended_) break;
    }
    bytes = bytes.subspan(piece);
    Decide();
  }
  return !refusal_;
}

bool ScriptEncoder::Finish() {
  if (refusal_) return false;
  if (!input_ended_) {
    if (utf8_.partial()) {
      utf8_fault_ = Refuse(TextFault::kInvalidUtf8, name_, read_line_,
                           read_column_, "invalid UTF-8");
    }
    EndInput();
  }
  Decide();
  if (!refusal_ && string_open_) EndString();
  return !refusal_;
}

std::size_t ScriptEncoder::pending_bytes() const {
  return window_.size() - begin_ + character_.size() +
         (carriage_return_held_ ? 1 : 0);
}

void ScriptEncoder::Accept(std::uint8_t byte) {
  character_ += static_cast<char>(byte);
  switch (utf8_.Put(byte)) {
    case Utf8Checker::Result::kPartial:
      return;
    case Utf8Checker::Result::kInvalid:
      utf8_fault_ = Refuse(TextFault::kInvalidUtf8, name_, read_line_,
                           read_column_, "invalid UTF-8");
      character_.clear();
      EndInput();
      return;
    case Utf8Checker::Result::kCharacter:
      AcceptCharacter();
      character_.clear();
      return;
  }
}

void ScriptEncoder::AcceptCharacter() {
  const bool byte_order_mark = at_start_ && character_ == kByteOrderMark;
  at_start_ = false;
  if (byte_order_mark) return;
  const bool line_feed = character_ == "\n";
  read_line_ += line_feed ? 1 : 0;
  read_column_ = line_feed ? 1 : read_column_ + 1;
  // A carriage return waits for the next character: before LF it goes.
  if (carriage_return_held_ && !line_feed) window_ += '\r';
  carriage_return_held_ = character_ == "\r";
  if (!carriage_return_held_) window_ += character_;
}

void ScriptEncoder::EndInput() {
  if (carriage_return_held_) window_ += '\r';
  carriage_return_held_ = false;
  input_ended_ = true;
}

void ScriptEncoder::Decide() {
  while (!refusal_ && DecideNext()) {
  }
  window_.erase(0, begin_);
  begin_ = 0;
}

// Decides what stands at the front of the window. Returns false when that
// needs more input, or there is nothing more to decide.
bool ScriptEncoder::DecideNext() {
  if (stretch_) return ExtendStretch();
  if (begin_ == window_.size()) {
    if (input_ended_ && utf8_fault_) refusal_ = utf8_fault_;
    return false;
  }
  if (argument_next_) return TakeArgument();
  if (after_end_ && window_[begin_] == '\n') {
    Consume(1);
    after_end_ = false;
    return true;
  }
  const Match match = MatchAt(begin_);
  switch (match.kind) {
    case Match::Kind::kNeedMore:
      return false;
    case Match::Kind::kNone:
      BeginStretch();
      return true;
    case Match::Kind::kUnit:
      TakeUnit(match.unit, match.length);
      return true;
  }
  return false;
}

bool ScriptEncoder::TakeArgument() {
  const Match match = WrittenUnitAt(begin_);
  if (match.kind == Match::Kind::kNeedMore) return false;
  if (match.kind == Match::Kind::kNone) {
    refusal_ = Refuse(
        TextFault::kMissingArgument, name_, line_, column_,
        "unit " + Hex(argument_taker_) + " takes an argument, written {HHHH}");
    return false;
  }
  sink_.PutUnit(match.unit);
  Consume(match.length);
  argument_next_ = false;
  if (argument_ends_string_) EndString();
  return true;
}

void ScriptEncoder::TakeUnit(CodeUnit unit, std::size_t length) {
  sink_.PutUnit(unit);
  string_open_ = true;
  after_end_ = false;
  Consume(length);
  const bool ends_string = table_.EndsString(unit);
  if (TakesArgument(unit)) {
    argument_next_ = true;
    argument_ends_string_ = ends_string;
    argument_taker_ = unit;
  } else if (ends_string) {
    EndString();
  }
}

void ScriptEncoder::EndString() {
  sink_.EndString();
  string_open_ = false;
  after_end_ = true;
}

ScriptEncoder::Match ScriptEncoder::MatchAt(std::size_t at) const {
  const Match written = WrittenUnitAt(at);
  return written.kind == Match::Kind::kNone ? TableTextAt(at) : written;
}

ScriptEncoder::Match ScriptEncoder::WrittenUnitAt(std::size_t at) const {
  const std::size_t available = window_.size() - at;
  const std::string_view seen = std::string_view(window_).substr(
      at, std::min(available, kWrittenUnitSize));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const bool fits = i == 0                      ? seen[i] == '{'
                      : i == kWrittenUnitSize - 1 ? seen[i] == '}'
                                                  : HexValue(seen[i]) >= 0;
    if (!fits) return {};
  }
  if (seen.size() < kWrittenUnitSize) {
    return {input_ended_ ? Match::Kind::kNone : Match::Kind::kNeedMore};
  }
  return {Match::Kind::kUnit, *ParseHex(seen.substr(1, 4)), kWrittenUnitSize};
}

// The longest table text at `at`. It needs more input only while the
// window ends inside a text that may still go on.
ScriptEncoder::Match ScriptEncoder::TableTextAt(std::size_t at) const {
  const TextTrie& trie = table_.trie();
  Match longest;
  std::uint32_t node = TextTrie::kRoot;
  for (std::size_t i = at; trie.HasNext(node); ++i) {
    if (i == window_.size()) {
      return input_ended_ ? longest : Match{Match::Kind::kNeedMore};
    }
    node = trie.Next(node, static_cast<std::uint8_t>(window_[i]));
    if (node == TextTrie::kNone) break;
    const std::uint32_t entry = trie.EntryAt(node);
    if (entry != TextTrie::kNone) {
      longest = {Match::Kind::kUnit, table_.entries()[entry].unit, i - at + 1};
    }
  }
  return longest;
}

void ScriptEncoder::BeginStretch() {
  stretch_ = Stretch{line_, column_, {}, 0};
  TakeIntoStretch();
}

// The stretch goes on while no match can begin, up to a line break.
bool ScriptEncoder::ExtendStretch() {
  if (begin_ == window_.size()) {
    if (input_ended_) RefuseStretch(false);
    return false;
  }
  const Match match = MatchAt(begin_);
  if (match.kind == Match::Kind::kNeedMore) return false;
  if (match.kind == Match::Kind::kUnit) {
    RefuseStretch(false);
    return false;
  }
  if (stretch_->characters == kMaxShownCharacters) {
    RefuseStretch(true);
    return false;
  }
  TakeIntoStretch();
  return true;
}

void ScriptEncoder::TakeIntoStretch() {
  const char lead = window_[begin_];
  const std::size_t length = CharacterLength(lead);
  if (lead == '\n') {
    stretch_->shown += "\\n";
  } else if (lead == '\r') {
    stretch_->shown += "\\r";
  } else if (lead == '\\') {
    stretch_->shown += "\\\\";
  } else {
    stretch_->shown.append(window_, begin_, length);
  }
  ++stretch_->characters;
  Consume(length);
  if (lead == '\n') RefuseStretch(false);
}

void ScriptEncoder::RefuseStretch(bool cut_short) {
  const std::string what = "no table text matches \"" + stretch_->shown + "\"" +
                           (cut_short ? "..." : "");
  refusal_ = Refuse(TextFault::kUnmatchedText, name_, stretch_->line,
                    stretch_->column, what);
}

void ScriptEncoder::Consume(std::size_t length) {
  for (const char c : std::string_view(window_).substr(begin_, length)) {
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else if (!IsContinuation(c)) {
      ++column_;
    }
  }
  begin_ += length;
}

void ScriptDecoder::Put(CodeUnit unit, std::string& out) {
  if (argument_next_) {
    AppendWritten(out, unit);
    argument_next_ = false;
    if (argument_ends_string_) out += '\n';
    return;
  }
  const bool pair = mode_ == DecodeMode::kDte && table_.Find(unit) == nullptr &&
                    !TakesArgument(unit) && !IsTextCharacter(unit);
  if (pair) {
    PutSingle(static_cast<CodeUnit>(0x1F00 | (unit & 0xFF)), out);
    PutSingle(static_cast<CodeUnit>(0x1F00 | (unit >> 8)), out);
  } else {
    PutSingle(unit, out);
  }
}

void ScriptDecoder::PutSingle(CodeUnit unit, std::string& out) {
  const TableEntry* entry = table_.Find(unit);
  if (entry != nullptr) {
    out += entry->text;
  } else {
    AppendWritten(out, unit);
  }
  const bool ends_string = entry != nullptr && entry->ends_string;
  if (TakesArgument(unit)) {
    argument_next_ = true;
    argument_ends_string_ = ends_string;
  } else if (ends_string) {
    out += '\n';
  }
}

}  // namespace common
