#include "puremake/puremake.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "common/block_reader.h"
#include "common/faults.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using common::CodeUnit;
using testing_support::Bytes;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::UnitBytes;
using testing_support::WriteBytes;
using Strings = std::vector<std::vector<CodeUnit>>;

// Letters, one pair of them with a unit of its own, a line break, codes
// that end strings, and codes that take an argument.
constexpr std::string_view kTable =
    "# a test table\n"
    "1F41=A\n"
    "1F42=B\n"
    "1F43=C\n"
    "1F20= \n"
    "0141=AB\n"
    "1F80=\xC3\xA9\n"
    "0001=\\n\n"
    "/0000=[end]\n"
    "0002=[wait]\n"
    "0110=[name]\n"
    "/0210=[ask]\n";

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// What puremake writes for `strings`: the units end to end, and a record
// per string numbering it from 0.
Bytes PuretextOf(const Strings& strings) {
  std::vector<CodeUnit> units;
  for (const auto& string : strings) {
    units.insert(units.end(), string.begin(), string.end());
  }
  return UnitBytes(units);
}

Bytes InformationOf(const Strings& strings) {
  Bytes info;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    const Bytes record = testing_support::Info(
        {{static_cast<std::uint32_t>(i),
          static_cast<std::int32_t>(strings[i].size() * 2)}});
    info.insert(info.end(), record.begin(), record.end());
  }
  return info;
}

// Read blocks and output buffers of a few bytes put every character, match
// and unit next to an edge; the default block is what the program uses.
constexpr std::size_t kBlockSizes[] = {common::BlockReader::kMinBlockSize, 9,
                                       13, common::BlockReader::kBlockSize};

class PuremakeTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args, common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return puremake::Run(args, out_, err_, {faults, block_size});
  }
  std::ostringstream out_, err_;
};

TEST_F(PuremakeTest, WritesUnitsAndARecordPerString) {
  struct Case {
    const char* name;
    std::string_view text;
    Strings strings;
  };
  const Case kCases[] = {
      {"empty text", "", {}},
      {"only a byte-order mark", "\xEF\xBB\xBF", {}},
      {"a last string without an end unit", "A", {{0x1F41}}},
      {"longest match, strings ended by end units",
       "ABC[end]\nBA[end]\n",
       {{0x0141, 0x1F43, 0x0000}, {0x1F42, 0x1F41, 0x0000}}},
      {"the line break after an end unit is layout, the next one text",
       "A[end]\n\nB[end]\n[end]",
       {{0x1F41, 0x0000}, {0x0001, 0x1F42, 0x0000}, {0x0000}}},
      {"units written by value, an argument that is no end unit",
       "{1234}[name]{0000}C{1f41}",
       {{0x1234, 0x0110, 0x0000, 0x1F43, 0x1F41}}},
      {"an end unit with an argument ends after it",
       "[ask]{0041}\nB[wait]",
       {{0x0210, 0x0041}, {0x1F42, 0x0002}}},
      {"byte-order mark, CRLF and characters of several bytes",
       "\xEF\xBB\xBF\xC3\xA9 A\r\nB[end]\r\nC",
       {{0x1F80, 0x1F20, 0x1F41, 0x0001, 0x1F42, 0x0000}, {0x1F43}}},
  };
  WriteBytes("t.tbl", Text(kTable));
  for (const std::size_t block_size : kBlockSizes) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(testing::Message() << c.name << ", block of " << block_size);
      WriteBytes("a.txt", Text(c.text));
      ASSERT_EQ(Run({"t.tbl", "a"}, nullptr, block_size), 0) << err_.str();
      EXPECT_EQ(err_.str(), "");
      EXPECT_EQ(out_.str(), "");
      EXPECT_EQ(ReadBytes("a.pure"), PuretextOf(c.strings));
      EXPECT_EQ(ReadBytes("a.info"), InformationOf(c.strings));
      EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
    }
  }
}

TEST_F(PuremakeTest, MakesEveryScriptNamedAlsoTwice) {
  WriteBytes("t.tbl", Text(kTable));
  fs::create_directory("sub");
  WriteBytes("a.txt", Text("A[end]\nB[end]\n"));
  WriteBytes("sub/b.txt", Text("C"));
  ASSERT_EQ(Run({"t.tbl", "a", "sub/b", "a", "./a"}), 0) << err_.str();
  EXPECT_EQ(err_.str(), "");
  const Strings a = {{0x1F41, 0x0000}, {0x1F42, 0x0000}};
  EXPECT_EQ(ReadBytes("a.pure"), PuretextOf(a));
  EXPECT_EQ(ReadBytes("a.info"), InformationOf(a));
  EXPECT_EQ(ReadBytes("sub/b.pure"), PuretextOf({{0x1F43}}));
  EXPECT_EQ(ReadBytes("sub/b.info"), InformationOf({{0x1F43}}));
}

TEST_F(PuremakeTest, MessagesAndStatuses) {
  // The same cases with blocks of a few bytes refuse at the same place.
  for (const std::size_t block_size :
       {common::BlockReader::kMinBlockSize, common::BlockReader::kBlockSize}) {
    SCOPED_TRACE(block_size);
    testing_support::CheckMessages(
        testing_support::PuremakeMessages(),
        [&](const std::vector<std::string>& args) {
          std::ostringstream out, err;
          const int status =
              puremake::Run(args, out, err, {nullptr, block_size});
          return testing_support::RunResult{status, out.str(), err.str()};
        });
  }
}

TEST_F(PuremakeTest, OddFilesAtTheNamesAreRefusedAndNothingIsWritten) {
  struct Case {
    const char* folder;  // made where a file should be
    std::string message;
  };
  const Case kCases[] = {
      {"t.tbl", "Could not open table file t.tbl: it is not a regular file.\n"},
      {"b.txt",
       "Could not open script file b.txt: it is not a regular file.\n"},
      {"b.pure",
       "Could not open puretext file b.pure: it is not a regular file.\n"},
      {"b.info",
       "Could not open information file b.info: it is not a regular file.\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.folder);
    for (const auto& entry : fs::directory_iterator(".")) {
      fs::remove_all(entry.path());
    }
    if (c.folder != std::string_view("t.tbl")) {
      WriteBytes("t.tbl", Text(kTable));
    }
    WriteBytes("a.txt", Text("A"));
    if (c.folder != std::string_view("b.txt")) WriteBytes("b.txt", Text("B"));
    fs::create_directory(c.folder);
    const auto before = Snapshot(".");
    EXPECT_EQ(Run({"t.tbl", "a", "b"}), 1);
    EXPECT_EQ(err_.str(), c.message + "No script was written.\n");
    EXPECT_EQ(Snapshot("."), before);
    EXPECT_TRUE(fs::is_directory(c.folder));
  }
}

// Two scripts with outputs of an earlier run, which a failed run must leave.
class PuremakeFaultsTest : public PuremakeTest {
 protected:
  void SetUp() override {
    PuremakeTest::SetUp();
    WriteBytes("t.tbl", Text(kTable));
    WriteBytes("a.txt", Text("AB[end]\nC"));
    WriteBytes("b.txt", Text("BA"));
    WriteBytes("a.pure", {1, 2});
    WriteBytes("a.info", {3});
    WriteBytes("b.pure", {4, 5});
    WriteBytes("b.info", {6});
    before_ = Snapshot(".");
  }
  void ExpectNothingChanged() {
    EXPECT_EQ(Snapshot("."), before_);
    EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
  }
  std::vector<std::pair<std::string, Bytes>> before_;
};

TEST_F(PuremakeFaultsTest, FailedRenameOfAnyOutputLeavesEveryOutput) {
  // The renames in: a.pure, a.info, b.pure, b.info.
  const char* kMessages[] = {"Could not write puretext file a.pure.\n",
                             "Could not write information file a.info.\n",
                             "Could not write puretext file b.pure.\n",
                             "Could not write information file b.info.\n"};
  for (int nth = 0; nth < 4; ++nth) {
    SCOPED_TRACE(nth);
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kRename, nth);
    EXPECT_EQ(Run({"t.tbl", "a", "b"}, &faults), 1);
    EXPECT_EQ(err_.str(),
              std::string(kMessages[nth]) + "No script was written.\n");
    ExpectNothingChanged();
  }
  EXPECT_EQ(Run({"t.tbl", "a", "b"}), 0);
  EXPECT_EQ(ReadBytes("b.pure"), PuretextOf({{0x1F42, 0x1F41}}));
}

TEST_F(PuremakeFaultsTest, TemporaryThatCannotBeCreatedIsReportedWithItsCause) {
  const char* kFiles[] = {"puretext file a.pure", "information file a.info",
                          "puretext file b.pure", "information file b.info"};
  for (int nth = 0; nth < 4; ++nth) {
    SCOPED_TRACE(nth);
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kCreate, nth);
    EXPECT_EQ(Run({"t.tbl", "a", "b"}, &faults), 1);
    const std::string expected = std::string("Could not open ") + kFiles[nth] +
                                 ": cannot create a temporary file in . (";
    EXPECT_EQ(err_.str().substr(0, expected.size()), expected) << err_.str();
    EXPECT_TRUE(err_.str().ends_with(").\nNo script was written.\n"));
    ExpectNothingChanged();
  }
}

TEST_F(PuremakeFaultsTest, FullDiskAtAnyByteLeavesEveryOutput) {
  // a: 3 units, 2 strings; b: 2 units, 1 string.
  const std::uint64_t kNeeded = 6 + 16 + 4 + 8;
  for (const std::size_t block_size :
       {common::BlockReader::kMinBlockSize, common::BlockReader::kBlockSize}) {
    for (std::uint64_t space = 0; space < kNeeded; ++space) {
      SCOPED_TRACE(testing::Message()
                   << space << " bytes free, block of " << block_size);
      common::Faults faults;
      faults.LimitSpace(space);
      EXPECT_EQ(Run({"t.tbl", "a", "b"}, &faults, block_size), 1);
      // With whole buffers each file is written out as it finishes.
      if (block_size == common::BlockReader::kBlockSize) {
        const char* kMessages[] = {
            "Could not write puretext file a.pure.\n",
            "Could not write information file a.info.\n",
            "Could not write puretext file b.pure.\n",
            "Could not write information file b.info.\n"};
        const int at = space < 6 ? 0 : space < 22 ? 1 : space < 26 ? 2 : 3;
        EXPECT_EQ(err_.str(),
                  std::string(kMessages[at]) + "No script was written.\n");
      } else {
        EXPECT_TRUE(err_.str().starts_with("Could not write "));
      }
      ExpectNothingChanged();
    }
  }
  common::Faults enough;
  enough.LimitSpace(kNeeded);
  EXPECT_EQ(Run({"t.tbl", "a", "b"}, &enough), 0) << err_.str();
}

TEST_F(PuremakeFaultsTest, TextThatCannotBeReadIsReported) {
  for (const std::size_t block_size :
       {common::BlockReader::kMinBlockSize, common::BlockReader::kBlockSize}) {
    SCOPED_TRACE(block_size);
    common::Faults faults;
    // b.txt is cut short after it was measured.
    faults.AfterOpen([](const fs::path& path) {
      if (path == "b.txt") fs::resize_file(path, 1);
    });
    EXPECT_EQ(Run({"t.tbl", "a", "b"}, &faults, block_size), 1);
    EXPECT_EQ(err_.str(),
              "Could not read script file b.txt.\nNo script was written.\n");
    WriteBytes("b.txt", Text("BA"));
    ExpectNothingChanged();
  }
}

TEST(ScriptWriter, RefusesWhatAnInformationRecordCannotDescribe) {
  using Fault = puremake::ScriptWriter::Fault;
  struct Case {
    const char* name;
    puremake::RecordLimits limits;
    Strings strings;
    Fault fault;
    std::uint64_t strings_at_end;
    std::uint64_t puretext_bytes;
  };
  const Case kCases[] = {
      {"strings as long as a record allows",
       {4, 8},
       {{1, 2}, {3}},
       Fault::kNone,
       2,
       6},
      {"a string too long",
       {4, 8},
       {{1}, {2, 3, 4}, {5}},
       Fault::kStringTooLong,
       1,
       6},
      {"as many strings as records can number",
       {4, 2},
       {{1}, {2}},
       Fault::kNone,
       2,
       4},
      {"one string more",
       {4, 2},
       {{1}, {2}, {3}, {4}},
       Fault::kTooManyStrings,
       2,
       6},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes pure_buffer(64), info_buffer(64);
    common::FileWriter pure(pure_buffer), info(info_buffer);
    puremake::ScriptWriter writer(&pure, &info, c.limits);
    for (const auto& string : c.strings) {
      for (const CodeUnit unit : string) writer.PutUnit(unit);
      writer.EndString();
    }
    EXPECT_EQ(writer.fault(), c.fault);
    EXPECT_EQ(writer.strings(), c.strings_at_end);
    EXPECT_EQ(pure.bytes_written(), c.puretext_bytes);
    EXPECT_EQ(info.bytes_written(), c.strings_at_end * 8);
  }
}

}  // namespace
