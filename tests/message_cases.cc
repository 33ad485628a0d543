#include "tests/message_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/tables.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

const std::string kPuremakeUsage =
    "puremake usage:\n  puremake table script1 [script2] [script3] ...\n";
const std::string kPairpickUsage =
    "pairpick usage:\n  pairpick script1 [script2] [script3] ...\n";
const std::string kHuffbuildUsage =
    "huffbuild usage:\n  huffbuild script1 [script2] [script3] [...]";
const std::string kIpsaddUsage =
    "ipsadd usage:\n  ipsadd datafile offset\n    datafile - file to link in.\n"
    "    offset - where to link it.\n";
const std::string kChainreportUsage =
    "chainreport usage:\n  chainreport script1 [script2] [script3] ...\n";
const std::string kHuffpackUsage =
    "huffpack usage:\n"
    "  huffpack [options] script1 [script2] [script3] ...\n"
    "options, before the scripts (-- ends them):\n"
    "  --bit-order msb|lsb     the first bit of a byte is its most or least\n"
    "                          significant bit (msb)\n"
    "  --align byte|bit        each string starts on a fresh byte, or right\n"
    "                          behind the one before (byte)\n"
    "  --base HEX              added to every pointer (0)\n"
    "  --pointer-bytes 2|3|4   the width of a pointer (4)\n"
    "  --big-endian            pointers high byte first (low byte first)\n";

const std::string kTextdumpUsage =
    "textdump usage:\n"
    "  textdump [--from pure|dte|huf] [layout options] table script\n"
    "layout options, with --from huf, as huffpack took them:\n"
    "  --bit-order msb|lsb  --align byte|bit  --base HEX\n"
    "  --pointer-bytes 2|3|4  --big-endian\n";

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Letters, a line break, an end unit and a code that takes an argument.
const std::string kTable =
    "1F41=A\n1F42=B\n0001=\\n\n/0000=[end]\n0110=[name]\n";

// What --help adds to the usage text: what a script name is, and which
// files each program reads and writes.
const std::string kPairpickHelp =
    kPairpickUsage +
    "\n"
    "A script is named by its base name, without an extension. For each\n"
    "script S pairpick reads S.pure (the puretext) and S.info (the\n"
    "information file), writes S.dte and rewrites the string lengths in\n"
    "S.info. Keep the prepared information files: a rewritten one no longer\n"
    "describes the puretext. Name all the game's scripts on one command\n"
    "line, so that they share one table. A missing file is skipped (status\n"
    "0); any other fault ends with status 1, that script's files as they\n"
    "were.\n";
const std::string kHuffbuildHelp =
    kHuffbuildUsage +
    "\n\n"
    "A script is named by its base name, without an extension. huffbuild\n"
    "reads each script's S.dte (as pairpick wrote it) and writes one Huffman\n"
    "code over all of them to the current folder: tesk.tbl, the node table\n"
    "the game's decoder walks, and tesk.bit, the Bit Pattern Table.\n";
const std::string kIpsaddHelp =
    kIpsaddUsage +
    "\n"
    "The offset is hexadecimal, from 0 to FFFFFF (1F4000 or 0x1F4000). The\n"
    "data file is appended as IPS records to tesk.ips in the current folder,\n"
    "which is made if it is missing. A complete patch is the five bytes\n"
    "PATCH, the records of tesk.ips, and the three bytes EOF.\n";
const std::string kChainreportHelp =
    kChainreportUsage +
    "\n"
    "A script is named by its base name, without an extension. chainreport\n"
    "reads each script's S.pure, S.info and S.dte and tesk.tbl and tesk.bit\n"
    "from the current folder, reports their sizes, and checks that they\n"
    "belong together and that the tables decode the text. It writes nothing;\n"
    "any fault, a missing file included, ends with status 1.\n";

const std::string kPuremakeHelp =
    kPuremakeUsage +
    "\n"
    "A script is named by its base name, without an extension. puremake reads\n"
    "the table file and each script's text, S.txt, and writes S.pure (the\n"
    "puretext) and S.info (the information file, one record per string) for\n"
    "every script, or, on any fault, none: the faults are told with the file,\n"
    "line and column, and nothing is written (status 1).\n";
const std::string kTextdumpHelp =
    kTextdumpUsage +
    "\n"
    "A script is named by its base name, without an extension. textdump\n"
    "writes the script's text to standard output, in the form puremake reads,\n"
    "through the table file; it never writes a file. It reads S.pure and\n"
    "S.info (--from pure, the default), S.dte and S.info (--from dte), or\n"
    "S.huf, S.ptr and S.info with tesk.tbl and tesk.bit from the current\n"
    "folder (--from huf), each pair unit written as its two characters.\n";
const std::string kHuffpackHelp =
    kHuffpackUsage +
    "\n"
    "A script is named by its base name, without an extension. huffpack\n"
    "reads tesk.tbl and tesk.bit from the current folder and each script's\n"
    "S.dte and S.info, and writes S.huf (the packed text) and S.ptr (a\n"
    "pointer to each string) for every script, or, on any fault, none\n"
    "(status 1).\n";
// The usage text, --help, -h and --version, which work only as the sole
// argument.
void AddCommandLine(std::vector<MessageCase>& cases, const std::string& program,
                    const std::string& usage, bool usage_on_error_stream,
                    const std::string& help) {
  cases.push_back({"no argument",
                   {},
                   {},
                   1,
                   usage_on_error_stream ? "" : usage,
                   usage_on_error_stream ? usage : ""});
  cases.push_back({"--help", {}, {"--help"}, 0, help, ""});
  cases.push_back({"-h", {}, {"-h"}, 0, help, ""});
  cases.push_back(
      {"--version", {}, {"--version"}, 0, program + " " TESK_VERSION "\n", ""});
}

}  // namespace

std::vector<MessageCase> PuremakeMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "puremake", kPuremakeUsage, true, kPuremakeHelp);
  const std::string kNothing = "No script was written.\n";
  const std::vector<std::pair<std::string, Bytes>> kTableAndOldOutputs = {
      {"t.tbl", Text(kTable)}, {"a.pure", {1, 2}}, {"a.info", {3}}};
  const auto with_old_outputs =
      [&](std::vector<std::pair<std::string, Bytes>> files) {
        files.insert(files.begin(), kTableAndOldOutputs.begin(),
                     kTableAndOldOutputs.end());
        return files;
      };
  const std::vector<MessageCase> more = {
      {"a table but no script",
       {{"t.tbl", Text(kTable)}},
       {"t.tbl"},
       1,
       "",
       kPuremakeUsage},
      {"missing table",
       {{"a.txt", Text("A")}},
       {"t.tbl", "a"},
       1,
       "",
       "Could not open table file t.tbl.\n" + kNothing},
      {"--help among the arguments is a table",
       {},
       {"--help", "a"},
       1,
       "",
       "Could not open table file --help.\n" + kNothing},
      {"table line without '='",
       {{"t.tbl", Text("1F41=A\n# two\n1F42\n")}, {"a.txt", Text("A")}},
       {"t.tbl", "a"},
       1,
       "",
       "t.tbl:3: missing '=' (a line reads HHHH=text or /HHHH=text)\n" +
           kNothing},
      {"bad escape in the table",
       {{"t.tbl", Text("1F41=A\n0001=a\\tb\n")}, {"a.txt", Text("A")}},
       {"t.tbl", "a"},
       1,
       "",
       "t.tbl:2:7: bad escape (a backslash begins only \\n or \\\\)\n" +
           kNothing},
      {"invalid UTF-8 in the table",
       {{"t.tbl", Text("1F41=\xC3(\n")}, {"a.txt", Text("A")}},
       {"t.tbl", "a"},
       1,
       "",
       "t.tbl:1:6: invalid UTF-8\n" + kNothing},
      {"missing script",
       with_old_outputs({}),
       {"t.tbl", "a"},
       1,
       "",
       "Could not open script file a.txt.\n" + kNothing},
      {"unmatched text",
       with_old_outputs({{"a.txt", Text("AB\nAxyB[end]")}}),
       {"t.tbl", "a"},
       1,
       "",
       "a.txt:2:2: no table text matches \"xy\"\n" + kNothing},
      {"invalid UTF-8 in the text",
       with_old_outputs({{"a.txt", Text("A[end]\nB\xC3(")}}),
       {"t.tbl", "a"},
       1,
       "",
       "a.txt:2:2: invalid UTF-8\n" + kNothing},
      {"argument not written {HHHH}",
       with_old_outputs({{"a.txt", Text("AB[name]A")}}),
       {"t.tbl", "a"},
       1,
       "",
       "a.txt:1:9: unit 0110 takes an argument, written {HHHH}\n" + kNothing},
      {"a script named twice is checked once",
       with_old_outputs({{"a.txt", Text("AB[end]\nA{12}")}}),
       {"t.tbl", "a", "./a", "a"},
       1,
       "",
       "a.txt:2:2: no table text matches \"{12}\"\n" + kNothing},
      {"every script is checked and none written",
       with_old_outputs({{"a.txt", Text("AB[end]\n")},
                         {"b.txt", Text("{12}")},
                         {"d.txt", Text("B\n[name]B")}}),
       {"t.tbl", "a", "b", "c", "d"},
       1,
       "",
       "b.txt:1:1: no table text matches \"{12}\"\n"
       "Could not open script file c.txt.\n"
       "d.txt:2:7: unit 0110 takes an argument, written {HHHH}\n" +
           kNothing},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::vector<MessageCase> PairpickMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "pairpick", kPairpickUsage, true, kPairpickHelp);
  const Bytes kSix = Units({0x1F41, 0x1F42, 0x1F43});
  const Bytes kDte = {0xD7, 0xE0};
  Bytes cut_short = Info({{1, 2}});
  cut_short.insert(cut_short.end(), {4, 0, 0, 0, 4});
  const auto script = [&](const Bytes& info) {
    return std::vector<std::pair<std::string, Bytes>>{
        {"a.pure", kSix}, {"a.info", info}, {"a.dte", kDte}};
  };
  const std::vector<MessageCase> more = {
      {"--help among script names is a script",
       {},
       {"--help", "x"},
       0,
       "",
       "Could not open puretext file --help.pure. Skipping...\n"
       "Could not open puretext file x.pure. Skipping...\n"
       "Could not open puretext file --help.pure. Skipping...\n"
       "Could not open puretext file x.pure. Skipping...\n"},
      {"missing puretext, said twice",
       {},
       {"a"},
       0,
       "",
       "Could not open puretext file a.pure. Skipping...\n"
       "Could not open puretext file a.pure. Skipping...\n"},
      {"missing information file",
       {{"a.pure", kSix}},
       {"a"},
       0,
       "",
       "Could not open information file a.info. Skipping...\n"},
      {"odd puretext",
       {{"a.pure", {0x41, 0x1F, 0x42}},
        {"a.info", Info({{0, 3}})},
        {"a.dte", kDte}},
       {"a"},
       1,
       "",
       "Puretext file a.pure has an odd length. Skipping...\n"},
      {"negative length",
       script(Info({{1, 2}, {2, -2}, {3, 4}})),
       {"a"},
       1,
       "",
       "Information file a.info has a bad length in record 2. Skipping...\n"},
      {"odd length",
       script(Info({{1, 3}, {2, 3}})),
       {"a"},
       1,
       "",
       "Information file a.info has a bad length in record 1. Skipping...\n"},
      {"records run out",
       script(Info({{1, 2}, {2, 2}})),
       {"a"},
       1,
       "",
       "Information file a.info describes 4 bytes, but puretext file a.pure "
       "holds 6. "
       "Skipping...\n"},
      {"last record cut short",
       script(cut_short),
       {"a"},
       1,
       "",
       "Information file a.info describes 2 bytes, but puretext file a.pure "
       "holds 6. "
       "Skipping...\n"},
      {"no record at all",
       script({}),
       {"a"},
       1,
       "",
       "Information file a.info describes 0 bytes, but puretext file a.pure "
       "holds 6. "
       "Skipping...\n"},
      {"last needed record reaches past the end",
       script(Info({{1, 4}, {2, 4}, {3, 2}})),
       {"a"},
       1,
       "",
       "Information file a.info describes 8 bytes, but puretext file a.pure "
       "holds 6. "
       "Skipping...\n"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::vector<MessageCase> HuffbuildMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "huffbuild", kHuffbuildUsage, false, kHuffbuildHelp);
  std::vector<std::uint16_t> many;
  for (int i = 0; i < 1453; ++i)
    many.push_back(static_cast<std::uint16_t>(0x1000 + i));
  const Bytes kTbl = {1, 2, 3, 4};
  const Bytes kBit = {5, 6, 7};
  const std::vector<MessageCase> more = {
      {"missing dte files",
       {{"tesk.tbl", kTbl}, {"tesk.bit", kBit}},
       {"a", "b"},
       1,
       "Could not open puretext file for script \"a\". Skipping...\n"
       "Could not open puretext file for script \"b\". Skipping...\n"
       "No dte file could be read. Shutting down...\n",
       ""},
      {"odd dte file",
       {{"good.dte", Units({0x1F41})},
        {"odd.dte", {1, 2, 3}},
        {"tesk.tbl", kTbl}},
       {"good", "odd"},
       1,
       "Dte file for script \"odd\" has an odd length. Shutting down...\n",
       ""},
      {"too many symbols",
       {{"a.dte", UnitBytes(many)}, {"tesk.bit", kBit}},
       {"a"},
       1,
       "Too many distinct code units: 1453 found, the table holds 1452. "
       "Shutting down...\n",
       ""},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::vector<MessageCase> IpsaddMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "ipsadd", kIpsaddUsage, false, kIpsaddHelp);
  const Bytes kIps = {'P', 'A', 'T', 'C', 'H'};
  const Bytes kData = {1, 2, 3};
  const std::string kInvalid =
      "\": expected a hexadecimal number from 0 to FFFFFF.\n";
  const std::vector<MessageCase> more = {
      {"one operand", {{"tesk.ips", kIps}}, {"d"}, 1, kIpsaddUsage, ""},
      {"three operands", {{"d", kData}}, {"d", "1", "2"}, 1, kIpsaddUsage, ""},
      {"bad offset",
       {{"d", kData}, {"tesk.ips", kIps}},
       {"d", "7E0zz"},
       1,
       "Invalid offset \"7E0zz" + kInvalid,
       ""},
      {"negative offset, with a missing data file",
       {},
       {"gone", "-1"},
       1,
       "Invalid offset \"-1" + kInvalid,
       ""},
      {"offset too large",
       {{"d", kData}},
       {"d", "1000000"},
       1,
       "Invalid offset \"1000000" + kInvalid,
       ""},
      {"end marker offset",
       {{"d", kData}},
       {"d", "454f46"},
       1,
       "Offset 454F46 cannot be used: IPS reads it as the end marker.\n",
       ""},
      {"missing data",
       {{"tesk.ips", kIps}},
       {"gone", "10"},
       1,
       "Could not open data file \"gone\".\n",
       ""},
      {"empty data",
       {{"d", {}}},
       {"d", "10"},
       1,
       "Data file \"d\" is empty; nothing to add.\n",
       ""},
      {"data past FFFFFF",
       {{"d", Bytes(65536, 1)}, {"tesk.ips", kIps}},
       {"d", "FFFFFF"},
       1,
       "Data file \"d\" does not fit: a record would start above FFFFFF.\n",
       ""},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::vector<MessageCase> ChainreportMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "chainreport", kChainreportUsage, true,
                 kChainreportHelp);
  cases.push_back({"no tables",
                   {},
                   {"a"},
                   1,
                   "",
                   "Could not read tesk.tbl.\nCould not read tesk.bit.\n"});
  return cases;
}

std::vector<MessageCase> TextdumpMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "textdump", kTextdumpUsage, true, kTextdumpHelp);
  const Bytes kUnits = Units({0x1F41, 0x0000, 0x1F42});
  const auto script = [&](const std::string& units_name, const Bytes& units,
                          const Bytes& info) {
    return std::vector<std::pair<std::string, Bytes>>{
        {"t.tbl", Text(kTable)}, {units_name, units}, {"a.info", info}};
  };
  const std::vector<MessageCase> more = {
      {"one operand",
       {{"t.tbl", Text(kTable)}},
       {"t.tbl"},
       1,
       "",
       kTextdumpUsage},
      {"three operands",
       script("a.pure", kUnits, Info({{0, 6}})),
       {"t.tbl", "a", "b"},
       1,
       "",
       kTextdumpUsage},
      {"--from without a source",
       script("a.pure", kUnits, Info({{0, 6}})),
       {"--from", "t.tbl", "a"},
       1,
       "",
       kTextdumpUsage},
      {"options after the operands",
       script("a.dte", kUnits, Info({{0, 6}})),
       {"t.tbl", "a", "--from", "dte"},
       1,
       "",
       kTextdumpUsage},
      {"packed text without its pointers",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.info", Info({{0, 6}})}},
       {"--from", "huf", "t.tbl", "a"},
       1,
       "",
       "Could not open pointer file a.ptr.\n"},
      {"packed text without tables",
       script("a.huf", {0xB0}, Info({{0, 6}})),
       {"--from", "huf", "t.tbl", "a"},
       1,
       "",
       "Could not open table file tesk.tbl.\n"},
      {"a bad layout option",
       script("a.huf", {0xB0}, Info({{0, 6}})),
       {"--from", "huf", "--align", "word", "t.tbl", "a"},
       1,
       "",
       "Invalid value \"word\" for --align: expected byte or bit.\n"},
      {"more pointers than strings",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.ptr", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"a.info", Info({{0, 2}})}},
       {"--from", "huf", "t.tbl", "a"},
       1,
       "",
       "a.ptr: it holds 2 pointers, but a.info describes 1 strings.\n"},
      {"fewer pointers than strings",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.ptr", {0, 0}},
        {"a.info", Info({{0, 2}, {1, 2}})}},
       {"--from", "huf", "--pointer-bytes", "2", "t.tbl", "a"},
       1,
       "",
       "a.ptr: it holds 1 pointers, but a.info describes 2 strings.\n"},
      {"pointers of another width",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.ptr", {0, 0, 0, 0}},
        {"a.info", Info({{0, 2}})}},
       {"--from", "huf", "--pointer-bytes", "3", "t.tbl", "a"},
       1,
       "",
       "a.ptr: 4 bytes are not a whole number of 3-byte pointers.\n"},
      {"a pointer past the packed text",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.ptr", {0x10, 0, 0, 0}},
        {"a.info", Info({{0, 2}})}},
       {"--from", "huf", "t.tbl", "a"},
       1,
       "",
       "a.ptr: the pointer to string 1, 10, does not lead into a.huf.\n"},
      {"a string that ends too soon",
       {{"t.tbl", Text(kTable)},
        {"tesk.tbl", SmallNodeTable()},
        {"tesk.bit", SmallBitPatternTable()},
        {"a.huf", {0xB0}},
        {"a.ptr", {0, 0, 0, 0}},
        {"a.info", Info({{0, 40}})}},
       {"--from", "huf", "t.tbl", "a"},
       1,
       // What was decoded before the packed text ran out stays written.
       "ABA{1F44}",
       "a.huf: string 1 ends after 4 of its 20 units.\n"},
      {"unknown source",
       script("a.pure", kUnits, Info({{0, 6}})),
       {"--from", "txt", "t.tbl", "a"},
       1,
       "",
       "Unknown source \"txt\" after --from: expected pure, dte or huf.\n"},
      {"unknown option",
       script("a.pure", kUnits, Info({{0, 6}})),
       {"--from", "dte", "--bit-order", "msb", "t.tbl", "a"},
       1,
       "",
       "Unknown option \"--bit-order\".\n"},
      {"missing table",
       {{"a.pure", kUnits}, {"a.info", Info({{0, 6}})}},
       {"t.tbl", "a"},
       1,
       "",
       "Could not open table file t.tbl.\n"},
      {"unit given twice in the table",
       {{"t.tbl", Text("1F41=A\n\n/1f41=B\n")},
        {"a.pure", kUnits},
        {"a.info", Info({{0, 6}})}},
       {"t.tbl", "a"},
       1,
       "",
       "t.tbl:3: unit 1F41 is given twice (first on line 1)\n"},
      {"missing puretext",
       {{"t.tbl", Text(kTable)}, {"a.info", Info({{0, 6}})}},
       {"t.tbl", "a"},
       1,
       "",
       "Could not open puretext file a.pure.\n"},
      {"missing dte file",
       script("a.pure", kUnits, Info({{0, 6}})),
       {"--from", "dte", "t.tbl", "a"},
       1,
       "",
       "Could not open dte file a.dte.\n"},
      {"missing information file",
       {{"t.tbl", Text(kTable)}, {"a.dte", kUnits}},
       {"--from", "dte", "t.tbl", "a"},
       1,
       "",
       "Could not open information file a.info.\n"},
      {"odd length",
       script("a.pure", {0x41, 0x1F, 0x00}, Info({{0, 2}})),
       {"t.tbl", "a"},
       1,
       "",
       "a.pure: 3 bytes are not a whole number of code units.\n"},
      {"bad length",
       script("a.pure", kUnits, Info({{0, 2}, {1, -2}, {2, 4}})),
       {"t.tbl", "a"},
       1,
       "",
       "a.info: record 2 has the bad length -2.\n"},
      {"records run out",
       script("a.dte", kUnits, Info({{0, 2}, {1, 2}})),
       {"--from", "dte", "t.tbl", "a"},
       1,
       "",
       "a.info: its records add up to 4 bytes, but a.dte holds 6.\n"},
      {"last record reaches past the end",
       script("a.pure", kUnits, Info({{0, 4}, {1, 4}})),
       {"t.tbl", "a"},
       1,
       "",
       "a.info: its records add up to 8 bytes, but a.pure holds 6.\n"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

Bytes SmallNodeTable() {
  return common::EncodeNodeTable({{0x1F41, 0xFFFF},
                                  {0x1F42, 0xFFFF},
                                  {0x1F43, 0xFFFF},
                                  {0x1F44, 0xFFFF},
                                  {3, 2},
                                  {4, 1},
                                  {5, 0}});
}

Bytes SmallBitPatternTable() {
  Bytes bit;
  common::AppendBitRecord(bit, 0x1F41, "1");
  common::AppendBitRecord(bit, 0x1F42, "01");
  common::AppendBitRecord(bit, 0x1F43, "001");
  common::AppendBitRecord(bit, 0x1F44, "000");
  return bit;
}

std::vector<MessageCase> HuffpackMessages() {
  std::vector<MessageCase> cases;
  AddCommandLine(cases, "huffpack", kHuffpackUsage, true, kHuffpackHelp);
  const std::string kInvalid = "Invalid value \"";
  using Files = std::vector<std::pair<std::string, Bytes>>;
  // A script a of the strings A B and C D, with the tables.
  const Files kScript = {{"tesk.tbl", SmallNodeTable()},
                         {"tesk.bit", SmallBitPatternTable()},
                         {"a.dte", Units({0x1F41, 0x1F42, 0x1F43, 0x1F44})},
                         {"a.info", Info({{0xC0DE0001, 4}, {0xC0DE0002, 4}})}};
  const auto with = [&](Files more) {
    Files files = kScript;
    for (auto& [name, bytes] : more) {
      const auto same =
          std::find_if(files.begin(), files.end(),
                       [&](const auto& f) { return f.first == name; });
      if (same != files.end()) files.erase(same);
      files.emplace_back(std::move(name), std::move(bytes));
    }
    return files;
  };
  const std::vector<MessageCase> more = {
      {"options without a script",
       kScript,
       {"--base", "10"},
       1,
       "",
       kHuffpackUsage},
      {"-- without a script", kScript, {"--"}, 1, "", kHuffpackUsage},
      {"unknown option",
       kScript,
       {"--bits", "a"},
       1,
       "",
       "Unknown option \"--bits\".\n"},
      {"--help among options",
       kScript,
       {"--help", "a"},
       1,
       "",
       "Unknown option \"--help\".\n"},
      {"missing value",
       kScript,
       {"--big-endian", "--align"},
       1,
       "",
       "Option --align needs a value.\n"},
      {"bad bit order",
       kScript,
       {"--bit-order", "big", "a"},
       1,
       "",
       kInvalid + "big\" for --bit-order: expected msb or lsb.\n"},
      {"bad alignment",
       kScript,
       {"--align", "word", "a"},
       1,
       "",
       kInvalid + "word\" for --align: expected byte or bit.\n"},
      {"base too large",
       kScript,
       {"--base", "100000000", "a"},
       1,
       "",
       kInvalid +
           "100000000\" for --base: expected a hexadecimal number from 0 to "
           "FFFFFFFF.\n"},
      {"bad pointer width",
       kScript,
       {"--pointer-bytes", "8", "a"},
       1,
       "",
       kInvalid + "8\" for --pointer-bytes: expected 2, 3 or 4.\n"},
      {"no tables",
       {},
       {"a"},
       1,
       "",
       "Could not read tesk.tbl.\nCould not read tesk.bit.\n"},
      {"tables that are no code",
       with({{"tesk.tbl", {1, 2, 3, 4}}, {"tesk.bit", {5, 6, 7}}}),
       {"a"},
       1,
       "",
       "tesk.bit: 3 bytes are not a whole number of 102-byte records\n"},
      {"missing information file",
       with({}),
       {"a", "b"},
       1,
       "",
       "Could not read b.info.\n"},
      {"missing dte file",
       with({{"b.info", Info({{0, 2}})}}),
       {"b", "a"},
       1,
       "",
       "Could not read b.dte.\n"},
      {"odd dte file",
       with({{"a.dte", {0x41, 0x1F, 0x42}}}),
       {"a"},
       1,
       "",
       "a.dte: 3 bytes are not a whole number of code units\n"},
      {"length that is no whole unit",
       with({{"a.info", Info({{0, 4}, {0, 3}})}}),
       {"a"},
       1,
       "",
       "a.info: record 2 at byte 8 has the bad length 3\n"},
      {"lengths that do not add up",
       with({{"a.info", Info({{0, 2}, {0, 4}})}}),
       {"a"},
       1,
       "",
       "a.info: its records add up to 6 bytes, but a.dte holds 8\n"},
      {"unit without a leaf",
       with({{"a.dte", Units({0x1F41, 0x1F42, 0x1F43, 0x1F45})}}),
       {"a"},
       1,
       "",
       "a.dte: unit 1F45 in string 2 has no leaf in tesk.bit\n"},
      {"pointer too large",
       kScript,
       {"--pointer-bytes", "2", "--base", "FFFF", "a"},
       1,
       "",
       "a.ptr: the pointer to string 2, 10000, does not fit in 2 bytes\n"},
      {"each script's first fault",
       with({{"b.dte", Units({0x1F46})}, {"b.info", Info({{0, 2}})}}),
       {"--align", "bit", "--pointer-bytes", "2", "--base", "FFFD", "a", "b",
        "c"},
       1,
       "",
       "a.ptr: the pointer to string 2, 10000, does not fit in 2 bytes\n"
       "b.dte: unit 1F46 in string 1 has no leaf in tesk.bit\n"
       "Could not read c.info.\n"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

void CheckMessages(const std::vector<MessageCase>& cases, const Runner& run) {
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator("."))
      fs::remove_all(entry.path());
    for (const auto& [name, bytes] : c.files) WriteBytes(name, bytes);
    const auto before = Snapshot(".");
    const RunResult result = run(c.args);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(Snapshot("."), before);
  }
}

}  // namespace testing_support
