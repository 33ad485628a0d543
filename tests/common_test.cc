#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/atomic_file.h"
#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/format.h"
#include "common/info_record.h"
#include "common/script_files.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::ReadBytes;
using testing_support::WriteBytes;

TEST(CodeUnit, ClassesFollowTheUnitValueAlone) {
  struct Case {
    std::uint16_t unit;
    bool text;
    bool argument;
  };
  const Case kCases[] = {
      {0x1F41, true, false},  {0x1F10, true, false},  {0x1F00, true, false},
      {0x1FFF, true, false},  {0x0010, false, true},  {0x0110, false, true},
      {0x2010, false, true},  {0x1E10, false, true},  {0xFF10, false, true},
      {0x0001, false, false}, {0x2000, false, false}, {0x1041, false, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "unit 0x" << std::hex << c.unit);
    EXPECT_EQ(common::IsTextCharacter(c.unit), c.text);
    EXPECT_EQ(common::TakesArgument(c.unit), c.argument);
  }
}

TEST(CodeUnit, PairUnitIsThePairValueWithItsBytesSwapped) {
  EXPECT_EQ(common::PairValue(0x1F41, 0x1F42), 0x4142);
  // Written as (first code, second code), read back little-endian.
  const std::uint8_t pair_unit[] = {0x41, 0x42};
  EXPECT_EQ(common::ReadLe16(pair_unit), 0x4241);
  // A pair whose second code is 0x1F reads back as the first character.
  const std::uint8_t with_1f[] = {0x41, 0x1F};
  EXPECT_EQ(common::PairValue(0x1F41, 0x1F1F), 0x411F);
  EXPECT_EQ(common::ReadLe16(with_1f), 0x1F41);
  EXPECT_EQ(common::PairValue(0x1F10, 0x1F80), 0x1080);
}

TEST(Bytes, IntegersRoundTripInTheirNamedOrder) {
  Bytes le;
  common::AppendLe16(le, 0x0102);
  common::AppendLe16(le, 0xFFFE);
  EXPECT_EQ(le, (Bytes{0x02, 0x01, 0xFE, 0xFF}));
  EXPECT_EQ(common::ReadLe16(le.data()), 0x0102);

  std::uint8_t le32[4];
  common::StoreLe32(le32, 0x89ABCDEF);
  EXPECT_EQ(Bytes(le32, le32 + 4), (Bytes{0xEF, 0xCD, 0xAB, 0x89}));
  EXPECT_EQ(common::ReadLe32(le32), 0x89ABCDEFu);

  Bytes be;
  common::AppendBe24(be, 0x12123456);  // bits above 24 are dropped
  common::AppendBe16(be, 0x012C);
  EXPECT_EQ(be, (Bytes{0x12, 0x34, 0x56, 0x01, 0x2C}));
}

TEST(InfoRecord, FieldsAreLittleEndianAndLengthIsSigned) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0xFF, 0xFF};
  const common::InfoRecord record = common::DecodeInfoRecord(bytes.data());
  EXPECT_EQ(record.carriedWord, 0x04030201u);
  EXPECT_EQ(record.byteLength, -2);
  std::uint8_t again[common::kInfoRecordSize];
  common::EncodeInfoRecord(record, again);
  EXPECT_EQ(Bytes(again, again + 8), bytes);
}

TEST(ScriptFiles, ExtensionIsAppendedToTheArgumentAsGiven) {
  EXPECT_EQ(common::PuretextName("dir/intro"), "dir/intro.pure");
  EXPECT_EQ(common::InformationName("dir/intro"), "dir/intro.info");
  EXPECT_EQ(common::DteName("dir/intro"), "dir/intro.dte");
  EXPECT_EQ(common::PuretextName("intro.pure"), "intro.pure.pure");
}

TEST(Format, FillsPlaceholdersLikePrintf) {
  EXPECT_EQ(common::Format("%s holds %lld.\n", "a.pure", 12345678901LL),
            "a.pure holds 12345678901.\n");
  EXPECT_EQ(common::Format("%04X", 0x1F), "001F");
}

class BlockReaderTest : public testing_support::TempDirTest {};

TEST_F(BlockReaderTest, StepsOfAnySizeSeeEveryByteAcrossBlocks) {
  Bytes bytes(common::BlockReader::kBlockSize * 2 + 7);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  }
  WriteBytes("data", bytes);
  common::BlockReader reader;
  ASSERT_TRUE(reader.Open("data"));
  EXPECT_EQ(reader.size(), bytes.size());
  Bytes seen;
  std::size_t step = 1;
  while (reader.remaining() > 0) {
    const std::size_t readable = reader.Fill(6);
    ASSERT_GE(readable, std::min<std::uint64_t>(6, reader.remaining()));
    const std::size_t take = std::min(readable, step);
    seen.insert(seen.end(), reader.data(), reader.data() + take);
    reader.Consume(take);
    step = step % 6 + 1;
  }
  EXPECT_EQ(seen, bytes);
  EXPECT_FALSE(reader.failed());
}

TEST_F(BlockReaderTest, SkipStopsAtTheEnd) {
  WriteBytes("data", {1, 2, 3, 4, 5});
  common::BlockReader reader;
  ASSERT_TRUE(reader.Open("data"));
  reader.Skip(3);
  ASSERT_EQ(reader.Fill(6), 2u);
  EXPECT_EQ(reader.data()[0], 4);
  reader.Skip(10);
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(reader.Fill(2), 0u);
  EXPECT_FALSE(reader.failed());
}

TEST_F(BlockReaderTest, MissingFileCannotBeOpened) {
  common::BlockReader reader;
  EXPECT_FALSE(reader.Open("missing"));
  Bytes bytes;
  EXPECT_EQ(common::ReadWholeFile("missing", bytes),
            common::ReadResult::kCannotOpen);
}

class AtomicFileTest : public testing_support::TempDirTest {
 protected:
  static bool NoTemporaryLeft() {
    for (const auto& entry : fs::directory_iterator(".")) {
      if (entry.path().string().find(common::kTempSuffix) != std::string::npos) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(AtomicFileTest, CommitReplacesTheTargetWhole) {
  WriteBytes("target", {9, 9, 9, 9, 9, 9});
  {
    common::AtomicFile file("target");
    ASSERT_TRUE(file.Open());
    file.Write(Bytes{1, 2, 3});
    EXPECT_EQ(ReadBytes("target"), (Bytes{9, 9, 9, 9, 9, 9}));
    ASSERT_TRUE(file.Finish());
    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadBytes("target"), (Bytes{1, 2, 3}));
  EXPECT_TRUE(NoTemporaryLeft());
}

TEST_F(AtomicFileTest, UncommittedFileLeavesTargetAndNoTemporary) {
  WriteBytes("target", {9, 8, 7});
  {
    common::AtomicFile file("target");
    ASSERT_TRUE(file.Open());
    file.Write(Bytes(common::AtomicFile::kBufferSize * 3, 1));
    ASSERT_TRUE(file.Finish());
  }
  {
    common::AtomicFile never_finished("new");
    ASSERT_TRUE(never_finished.Open());
    never_finished.Write(Bytes{1});
  }
  EXPECT_EQ(ReadBytes("target"), (Bytes{9, 8, 7}));
  EXPECT_FALSE(fs::exists("new"));
  EXPECT_TRUE(NoTemporaryLeft());
}

TEST_F(AtomicFileTest, FullDiskFailsFinishAtEveryByte) {
  const Bytes content(common::AtomicFile::kBufferSize + 100, 0x5A);
  for (std::uint64_t space : {std::uint64_t{0}, std::uint64_t{1},
                              std::uint64_t{common::AtomicFile::kBufferSize},
                              std::uint64_t{content.size() - 1}}) {
    SCOPED_TRACE(space);
    WriteBytes("target", {4, 3, 2, 1});
    common::DiskQuota quota(space);
    {
      common::AtomicFile file("target", &quota);
      ASSERT_TRUE(file.Open());
      file.Write(content.data(), 10);
      file.Write(content.data() + 10, content.size() - 10);
      EXPECT_FALSE(file.Finish());
      EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(ReadBytes("target"), (Bytes{4, 3, 2, 1}));
    EXPECT_TRUE(NoTemporaryLeft());
  }
}

// Windows keeps no permission bits beyond read-only.
#if !defined(_WIN32)
TEST_F(AtomicFileTest, KeepsTheTargetsPermissionBits) {
  WriteBytes("target", {1});
  const fs::perms kPerms = fs::perms::owner_read | fs::perms::owner_write |
                           fs::perms::group_read;
  fs::permissions("target", kPerms);
  common::AtomicFile file("target");
  ASSERT_TRUE(file.Open());
  file.Write(Bytes{2});
  ASSERT_TRUE(file.Finish());
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(fs::status("target").permissions() & fs::perms::all, kPerms);
}
#endif

TEST_F(AtomicFileTest, TargetThatCannotBeWrittenIsRefused) {
  fs::create_directory("target");
  common::AtomicFile file("target");
  EXPECT_FALSE(file.Open());
  EXPECT_TRUE(fs::is_directory("target"));
  EXPECT_TRUE(NoTemporaryLeft());
}

TEST_F(AtomicFileTest, ReadOnlyTargetIsRefusedWhereOpeningWouldFail) {
  if (testing_support::RunningAsRoot()) {
    GTEST_SKIP() << "root may write a read-only file";
  }
  WriteBytes("target", {1, 2});
  fs::permissions("target", fs::perms::owner_read);
  common::AtomicFile file("target");
  EXPECT_FALSE(file.Open());
  EXPECT_EQ(ReadBytes("target"), (Bytes{1, 2}));
}

TEST_F(AtomicFileTest, TemporaryLeftByAKilledRunIsReplaced) {
  const std::string leftover = std::string("target") + common::kTempSuffix;
  WriteBytes(leftover, Bytes(1000, 0xEE));
  fs::permissions(leftover, fs::perms::owner_read);
  common::AtomicFile file("target");
  ASSERT_TRUE(file.Open());
  file.Write(Bytes{7});
  ASSERT_TRUE(file.Finish());
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(ReadBytes("target"), (Bytes{7}));
  EXPECT_TRUE(NoTemporaryLeft());
}

#if !defined(_WIN32)
TEST_F(AtomicFileTest, SymbolicLinkKeepsPointingAtTheNewContent) {
  fs::create_directory("real");
  WriteBytes("real/file", {1});
  fs::create_symlink("real/file", "link");
  common::AtomicFile file("link");
  ASSERT_TRUE(file.Open());
  file.Write(Bytes{2, 3});
  ASSERT_TRUE(file.Finish());
  ASSERT_TRUE(file.Commit());
  EXPECT_TRUE(fs::is_symlink("link"));
  EXPECT_EQ(ReadBytes("real/file"), (Bytes{2, 3}));
}
#endif

}  // namespace
