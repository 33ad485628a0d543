#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/faults.h"
#include "common/format.h"
#include "common/huffman_code.h"
#include "common/info_record.h"
#include "common/script_files.h"
#include "common/shared_work.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

  std::uint8_t le64[8];
  common::StoreLe64(le64, 0x0102030405060708);
  EXPECT_EQ(Bytes(le64, le64 + 8),
            (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(common::ReadLe64(le64), 0x0102030405060708u);
  std::uint8_t be64[8];
  common::StoreBe64(be64, 0x0102030405060708);
  EXPECT_EQ(Bytes(be64, be64 + 8),
            (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
  EXPECT_EQ(common::ReadBe64(be64), 0x0102030405060708u);

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

TEST(Coverage, RecordsCoverAFileUpToItsLength) {
  using Kind = common::Coverage::Kind;
  struct Case {
    const char* name;
    std::uint64_t length;
    Bytes info;
    Kind kind;
    std::size_t needed;
    std::size_t bad_record;
    std::int64_t described;
  };
  using testing_support::Info;
  Bytes cut_short = Info({{1, 2}});
  cut_short.insert(cut_short.end(), {4, 0, 0, 0, 4});
  const Case kCases[] = {
      {"exact, surplus record not looked at", 6,
       Info({{1, 2}, {2, 4}, {3, -1}}), Kind::kExact, 2, 0, 0},
      {"empty file needs no record", 0, Info({{1, -4}}), Kind::kExact, 0, 0, 0},
      {"empty strings count", 4, Info({{1, 0}, {2, 4}}), Kind::kExact, 2, 0, 0},
      {"negative length", 6, Info({{1, 2}, {2, -2}}), Kind::kBadLength, 0, 2,
       0},
      {"odd length", 6, Info({{1, 3}}), Kind::kBadLength, 0, 1, 0},
      {"records run out", 6, Info({{1, 2}, {2, 2}}), Kind::kMismatch, 2, 0, 4},
      {"last record cut short", 6, cut_short, Kind::kMismatch, 1, 0, 2},
      {"reaches past the end", 6, Info({{1, 4}, {2, 4}}), Kind::kMismatch, 2, 0,
       8},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const common::Coverage coverage = common::CoverFile(c.length, c.info);
    EXPECT_EQ(coverage.kind, c.kind);
    if (c.kind == Kind::kBadLength) {
      EXPECT_EQ(coverage.bad_record, c.bad_record);
    } else {
      EXPECT_EQ(coverage.needed, c.needed);
    }
    if (c.kind == Kind::kMismatch) {
      EXPECT_EQ(coverage.described, c.described);
    }
  }
}

TEST(ShareWork, EachItemOnceOnTheThreadsAskedForAndAThrowReachesTheCaller) {
  for (std::size_t threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    for (std::size_t count : {0, 1, 2, 7, 1000}) {
      std::vector<std::atomic<int>> taken(count);
      std::vector<std::atomic<int>> by_thread(threads);
      common::ShareWork(count, threads, [&](std::size_t item, std::size_t t) {
        ++taken[item];
        ++by_thread[t];
      });
      for (std::size_t item = 0; item < count; ++item) {
        ASSERT_EQ(taken[item], 1) << item;
      }
      int all = 0;
      for (const std::atomic<int>& n : by_thread) all += n;
      EXPECT_EQ(all, static_cast<int>(count));
    }
    // An item that throws stops the taking (on one thread no item after it
    // runs; others may have taken one meanwhile); the exception comes back
    // here once every thread is done.
    std::atomic<int> after{0};
    EXPECT_THROW(common::ShareWork(1000, threads,
                                   [&](std::size_t item, std::size_t) {
                                     if (item == 10) throw std::bad_alloc();
                                     if (item > 10) ++after;
                                   }),
                 std::bad_alloc);
    if (threads == 1) {
      EXPECT_EQ(after, 0);
    }
  }
  EXPECT_EQ(common::ThreadsFor(5, 1), 1u);
  EXPECT_EQ(common::ThreadsFor(5, 2), 2u);
  EXPECT_EQ(common::ThreadsFor(1, 2), 1u);
  EXPECT_EQ(common::ThreadsFor(0, 0), 1u);
  EXPECT_GE(common::ThreadsFor(5, 0), 1u);
}

TEST(ShareWork, MessagesAreToldInTheItemsOrderAsSoonAsTheyMayBe) {
  std::ostringstream out;
  common::MessagesInOrder messages(6, out);
  messages.Done(1, "b");
  EXPECT_EQ(out.str(), "");  // waits for the first
  messages.Done(0, "a");
  EXPECT_EQ(out.str(), "ab");
  messages.Done(3, "d");
  messages.Done(2, "c", true);  // ends the run: nothing after it is told
  messages.Done(4, "e");
  EXPECT_EQ(out.str(), "abc");

  // From two threads at once, each item is told, in order.
  std::ostringstream shared;
  common::MessagesInOrder in_order(200, shared);
  common::ShareWork(200, 2, [&](std::size_t item, std::size_t) {
    in_order.Done(item, std::to_string(item) + " ");
  });
  std::string expected;
  for (std::size_t item = 0; item < 200; ++item) {
    expected += std::to_string(item) + " ";
  }
  EXPECT_EQ(shared.str(), expected);
}

#if defined(__linux__)
TEST(ShareWork, ALowLimitOnOpenFilesOrMemoryKeepsARunOnOneThread) {
  for (int resource : {RLIMIT_NOFILE, RLIMIT_AS}) {
    struct rlimit old;
    ASSERT_EQ(getrlimit(resource, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = resource == RLIMIT_NOFILE ? 16 : rlim_t{128} << 20;
    if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < low.rlim_cur) {
      low.rlim_cur = old.rlim_cur;
    }
    ASSERT_EQ(setrlimit(resource, &low), 0);
    const std::size_t threads = common::ThreadsFor(5, 0);
    ASSERT_EQ(setrlimit(resource, &old), 0);
    EXPECT_EQ(threads, 1u) << resource;
  }
}
#endif

TEST(HuffmanCode, EveryUnitCostsABitSoACodeHasTwoLeavesAtLeast) {
  const auto tables = [](const std::vector<common::NodeEntry>& table,
                         const std::vector<const char*>& patterns) {
    Bytes bit;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      common::AppendBitRecord(bit, table[i].first, patterns[i]);
    }
    return std::pair{common::EncodeNodeTable(table), bit};
  };
  std::ostringstream err;
  const auto [tbl2, bit2] =
      tables({{0x1F41, 0xFFFF}, {0x1F42, 0xFFFF}, {1, 0}}, {"1", "0"});
  const std::optional<common::HuffmanCode> code =
      common::VerifyCode(tbl2, bit2, err);
  ASSERT_TRUE(code) << err.str();
  EXPECT_EQ(code->leaf_of[0x1F42], 1);
  EXPECT_EQ(code->leaf_of[0x1F43], -1);
  // A lone leaf would cost no bit: a decoder could not count its units.
  const auto [tbl1, bit1] = tables({{0x1F41, 0xFFFF}}, {""});
  EXPECT_FALSE(common::VerifyCode(tbl1, bit1, err));
  EXPECT_EQ(
      err.str(),
      "tesk.bit: the record for leaf 0 at byte 2 has a bad pattern field\n");
}

class BlockReaderTest : public testing_support::TempDirTest {};

TEST_F(BlockReaderTest, StepsOfAnySizeSeeEveryByteAcrossBlocks) {
  for (std::size_t block_size :
       {common::BlockReader::kMinBlockSize, std::size_t{9}, std::size_t{64},
        common::BlockReader::kBlockSize}) {
    SCOPED_TRACE(block_size);
    Bytes bytes(block_size * 3 + 7);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    WriteBytes("data", bytes);
    Bytes block(block_size);
    common::BlockReader reader(block);
    std::error_code ec;
    ASSERT_EQ(reader.Open("data", ec), common::OpenResult::kOk);
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
}

TEST_F(BlockReaderTest, SkipStopsAtTheEnd) {
  WriteBytes("data", {1, 2, 3, 4, 5});
  Bytes block(common::BlockReader::kMinBlockSize);
  common::BlockReader reader(block);
  std::error_code ec;
  ASSERT_EQ(reader.Open("data", ec), common::OpenResult::kOk);
  reader.Skip(3);
  ASSERT_EQ(reader.Fill(6), 2u);
  EXPECT_EQ(reader.data()[0], 4);
  reader.Skip(10);
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(reader.Fill(2), 0u);
  EXPECT_FALSE(reader.failed());
}

TEST_F(BlockReaderTest, OnlyRegularFilesAreOpened) {
  Bytes block(common::BlockReader::kMinBlockSize);
  common::BlockReader reader(block);
  std::error_code ec;
  EXPECT_EQ(reader.Open("missing", ec), common::OpenResult::kMissing);
  fs::create_directory("folder");
  EXPECT_EQ(reader.Open("folder", ec), common::OpenResult::kNotRegular);
  Bytes bytes;
  EXPECT_EQ(common::ReadWholeFile("missing", bytes),
            common::ReadResult::kMissing);
  EXPECT_EQ(common::ReadWholeFile("folder", bytes),
            common::ReadResult::kNotRegular);
#if !defined(_WIN32)
  // A FIFO with no writer would block an ordinary open for ever.
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  EXPECT_EQ(reader.Open("fifo", ec), common::OpenResult::kNotRegular);
  EXPECT_EQ(common::ReadWholeFile("fifo", bytes),
            common::ReadResult::kNotRegular);
#endif
}

#if !defined(_WIN32)
// As the kernel does in sticky folders: a link is followed only if it is
// the user's, or belongs to the folder's owner.
TEST_F(BlockReaderTest, LinkOfAnotherUserIsNotFollowed) {
  if (!testing_support::RunningAsRoot())
    GTEST_SKIP() << "needs a link of another user";
  WriteBytes("secret", {7});
  fs::create_symlink("secret", "mine");
  fs::create_symlink("secret", "theirs");
  ASSERT_EQ(lchown("theirs", 65534, 65534), 0);
  Bytes bytes;
  EXPECT_EQ(common::ReadWholeFile("mine", bytes), common::ReadResult::kOk);
  EXPECT_EQ(common::ReadWholeFile("theirs", bytes),
            common::ReadResult::kDenied);
  // In a folder of theirs, their link is followed.
  fs::create_directory("their-folder");
  fs::create_symlink("../secret", "their-folder/link");
  ASSERT_EQ(lchown("their-folder/link", 65534, 65534), 0);
  ASSERT_EQ(chown("their-folder", 65534, 65534), 0);
  EXPECT_EQ(common::ReadWholeFile("their-folder/link", bytes),
            common::ReadResult::kOk);
}
#endif

TEST_F(BlockReaderTest, FileCutShortAfterOpeningIsAFailedRead) {
  const Bytes bytes(100, 0x5A);
  WriteBytes("data", bytes);
  common::Faults faults;
  faults.AfterOpen([](const fs::path& path) { fs::resize_file(path, 37); });
  Bytes block(16);
  {
    common::BlockReader reader(block, &faults);
    std::error_code ec;
    ASSERT_EQ(reader.Open("data", ec), common::OpenResult::kOk);
    EXPECT_EQ(reader.size(),
              100u);  // measured on the open file, before the cut
    reader.Skip(100);
    EXPECT_TRUE(reader.failed());
  }
  WriteBytes("data", bytes);
  Bytes whole;
  EXPECT_EQ(common::ReadWholeFile("data", whole, &faults),
            common::ReadResult::kReadError);
}

}  // namespace
