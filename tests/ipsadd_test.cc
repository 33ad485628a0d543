#include "ipsadd/ipsadd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>

#include "common/faults.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::WriteBytes;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 9));
  }
  return bytes;
}

// Applies a patch to `target` as a patcher reads the published format:
// "PATCH", records (3-byte offset, 2-byte size, data; size 0 would be a
// run-length record), "EOF". Returns false for a malformed patch.
bool ApplyPatch(const Bytes& patch, Bytes& target) {
  if (patch.size() < 8 ||
      Bytes(patch.begin(), patch.begin() + 5) != Text("PATCH")) {
    return false;
  }
  std::size_t p = 5;
  while (p + 3 <= patch.size()) {
    const std::size_t offset = (std::size_t{patch[p]} << 16) |
                               (std::size_t{patch[p + 1]} << 8) | patch[p + 2];
    if (offset == 0x454F46) return p + 3 == patch.size();
    if (p + 5 > patch.size()) return false;
    const std::size_t size = (std::size_t{patch[p + 3]} << 8) | patch[p + 4];
    if (size == 0 || p + 5 + size > patch.size()) return false;
    if (target.size() < offset + size) target.resize(offset + size);
    std::copy(patch.begin() + static_cast<std::ptrdiff_t>(p + 5),
              patch.begin() + static_cast<std::ptrdiff_t>(p + 5 + size),
              target.begin() + static_cast<std::ptrdiff_t>(offset));
    p += 5 + size;
  }
  return false;
}

class IpsaddTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args, common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return ipsadd::Run(args, out_, err_, {faults, block_size});
  }
  // The data as a patcher finds it after applying tesk.ips.
  static void ExpectLandsAt(std::size_t offset, const Bytes& data) {
    Bytes patch = Text("PATCH");
    const Bytes ips = ReadBytes("tesk.ips");
    patch.insert(patch.end(), ips.begin(), ips.end());
    patch.insert(patch.end(), {'E', 'O', 'F'});
    Bytes rom;
    ASSERT_TRUE(ApplyPatch(patch, rom));
    ASSERT_EQ(rom.size(), offset + data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(),
                           rom.begin() + static_cast<std::ptrdiff_t>(offset)));
  }
  std::ostringstream out_, err_;
};

TEST_F(IpsaddTest, AppendsOneRecordPerRunBehindWhatTheFileHolds) {
  WriteBytes("three", {0xAA, 0xBB, 0xCC});
  ASSERT_EQ(Run({"three", "1234"}), 0);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(ReadBytes("tesk.ips"),
            (Bytes{0x00, 0x12, 0x34, 0x00, 0x03, 0xAA, 0xBB, 0xCC}));

  const Bytes kThreeHundred = Pattern(300, 1);
  WriteBytes("big", kThreeHundred);
  ASSERT_EQ(Run({"big", "7E0"}), 0);
  Bytes expected = {0x00, 0x12, 0x34, 0x00, 0x03, 0xAA, 0xBB,
                    0xCC, 0x00, 0x07, 0xE0, 0x01, 0x2C};
  expected.insert(expected.end(), kThreeHundred.begin(), kThreeHundred.end());
  EXPECT_EQ(ReadBytes("tesk.ips"), expected);
}

TEST_F(IpsaddTest, ExistingEndMarkerStaysInPlace) {
  const Bytes kPatch = {'P',  'A',  'T',  'C',  'H', 0x00, 0x00,
                        0x10, 0x00, 0x01, 0x99, 'E', 'O',  'F'};
  WriteBytes("tesk.ips", kPatch);
  WriteBytes("one", {0x42});
  ASSERT_EQ(Run({"one", "20"}), 0);
  Bytes expected = kPatch;
  expected.insert(expected.end(), {0x00, 0x00, 0x20, 0x00, 0x01, 0x42});
  EXPECT_EQ(ReadBytes("tesk.ips"), expected);
}

TEST(ParseOffset, AcceptsStrictHexadecimalFrom0ToFFFFFF) {
  struct Case {
    const char* text;
    ipsadd::OffsetResult result;
    std::uint32_t value;
  };
  using R = ipsadd::OffsetResult;
  const Case kCases[] = {
      {"7e0", R::kOk, 0x7E0},
      {"0x7E0", R::kOk, 0x7E0},
      {"+7E0", R::kOk, 0x7E0},
      {" 7E0", R::kOk, 0x7E0},
      {"\t\n+0X7e0", R::kOk, 0x7E0},
      {"0", R::kOk, 0},
      {"FFFFFF", R::kOk, 0xFFFFFF},
      {"00000000001", R::kOk, 1},
      {"0x0", R::kOk, 0},
      {"454F45", R::kOk, 0x454F45},
      {"7E0zz", R::kInvalid, 0},
      {"zz", R::kInvalid, 0},
      {"-1", R::kInvalid, 0},
      {"1ABCDEF", R::kInvalid, 0},
      {"80000000", R::kInvalid, 0},
      {"1000000", R::kInvalid, 0},
      {"", R::kInvalid, 0},
      {"0x", R::kInvalid, 0},
      {"+", R::kInvalid, 0},
      {"7E0 ", R::kInvalid, 0},
      {"++1", R::kInvalid, 0},
      {"0x-1", R::kInvalid, 0},
      {"00x5", R::kInvalid, 0},
      {"1 2", R::kInvalid, 0},
      {"454F46", R::kEndMarker, 0},
      {"0x454f46", R::kEndMarker, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    std::uint32_t value = 0xDEAD;
    EXPECT_EQ(ipsadd::ParseOffset(c.text, &value), c.result);
    if (c.result == R::kOk) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST_F(IpsaddTest, LongDataBecomesConsecutiveRecordsThatLandInPlace) {
  struct Case {
    std::size_t size;
    std::string offset;
    std::vector<ipsadd::RecordSpan> records;
  };
  const Case kCases[] = {
      {65535, "10", {{0x10, 65535}}},
      {65536, "10", {{0x10, 65535}, {0x1000F, 1}}},
      {200000,
       "0",
       {{0, 65535}, {65535, 65535}, {131070, 65535}, {196605, 3395}}},
      // The second record would start at 454F46: the first ends a byte early.
      {70000, "444F47", {{0x444F47, 65534}, {0x454F45, 4466}}},
      // A record may run past FFFFFF.
      {65535, "FFFFFF", {{0xFFFFFF, 65535}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.size);
    fs::remove("tesk.ips");
    const Bytes data = Pattern(c.size, 7);
    WriteBytes("data", data);
    ASSERT_EQ(Run({"data", c.offset}), 0) << out_.str();
    const Bytes ips = ReadBytes("tesk.ips");
    std::size_t p = 0;
    for (const ipsadd::RecordSpan& r : c.records) {
      ASSERT_LE(p + 5, ips.size());
      EXPECT_EQ((ips[p] << 16) | (ips[p + 1] << 8) | ips[p + 2],
                static_cast<int>(r.offset));
      EXPECT_EQ((ips[p + 3] << 8) | ips[p + 4], static_cast<int>(r.size));
      p += 5 + r.size;
    }
    EXPECT_EQ(p, ips.size());
    ExpectLandsAt(std::stoul(c.offset, nullptr, 16), data);
  }
}

TEST_F(IpsaddTest, MessagesAndStatuses) {
  testing_support::CheckMessages(
      testing_support::IpsaddMessages(),
      [](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = ipsadd::Run(args, out, err);
        return testing_support::RunResult{status, out.str(), err.str()};
      });
}

TEST_F(IpsaddTest, FailedWriteLeavesTheIpsFileAsItWas) {
  WriteBytes("data", Pattern(70000, 9));
  for (bool existing : {true, false}) {
    fs::remove("tesk.ips");
    if (existing) WriteBytes("tesk.ips", {'P', 'A', 'T', 'C', 'H'});
    const auto before = Snapshot(".");
    // The records take 70010 bytes: two headers and the data.
    for (std::uint64_t space : {0u, 5u, 5u + 65535u, 70010u - 1u}) {
      SCOPED_TRACE(testing::Message() << existing << " " << space);
      common::Faults faults;
      faults.LimitSpace(space);
      EXPECT_EQ(Run({"data", "0"}, &faults, 64), 1);
      EXPECT_EQ(out_.str(),
                "Could not write IPS file; it was left unchanged.\n");
      EXPECT_EQ(Snapshot("."), before);
    }
  }
}

TEST_F(IpsaddTest, DataFileCutShortWhileAppendingChangesNothing) {
  WriteBytes("tesk.ips", {'P', 'A', 'T', 'C', 'H'});
  WriteBytes("data", Pattern(70000, 9));
  const Bytes ips = ReadBytes("tesk.ips");
  common::Faults faults;
  faults.AfterOpen([](const fs::path& path) {
    if (path == "data") fs::resize_file(path, 100);
  });
  EXPECT_EQ(Run({"data", "0"}, &faults, 64), 1);
  EXPECT_EQ(out_.str(), "Could not read data file \"data\".\n");
  EXPECT_EQ(ReadBytes("tesk.ips"), ips);
  EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
}

TEST_F(IpsaddTest, SetIdBitsAreTakenAwayAndLinksAndSecondNamesRefused) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has neither set-id bits nor links anyone may make";
#else
  WriteBytes("data", {1});
  WriteBytes("tesk.ips", {});
  fs::permissions("tesk.ips", fs::perms(04755));
  ASSERT_EQ(Run({"data", "0"}), 0);
  EXPECT_EQ(fs::status("tesk.ips").permissions(), fs::perms(0755));
  WriteBytes("elsewhere", {9});
  fs::remove("tesk.ips");
  fs::create_symlink("elsewhere", "tesk.ips");
  EXPECT_EQ(Run({"data", "0"}), 1);
  EXPECT_EQ(out_.str(), "Could not open IPS file to add data.\n");
  EXPECT_EQ(ReadBytes("elsewhere"), Bytes{9});
  // A second name could be anyone's file: appending would write there too.
  fs::remove("tesk.ips");
  fs::create_hard_link("elsewhere", "tesk.ips");
  EXPECT_EQ(Run({"data", "0"}), 1);
  EXPECT_EQ(out_.str(), "Could not open IPS file to add data.\n");
  EXPECT_EQ(ReadBytes("elsewhere"), Bytes{9});
#endif
}

TEST_F(IpsaddTest, IpsFileThatCannotBeWrittenIsReported) {
  WriteBytes("data", {1});
  fs::create_directory("tesk.ips");
  EXPECT_EQ(Run({"data", "0"}), 1);
  EXPECT_EQ(out_.str(), "Could not open IPS file to add data.\n");
  EXPECT_TRUE(fs::is_directory("tesk.ips"));
}

// Windows keeps no permission bits beyond read-only.
#if !defined(_WIN32)
TEST_F(IpsaddTest, ReplacedIpsFileKeepsItsPermissionBits) {
  WriteBytes("data", {1});
  WriteBytes("tesk.ips", {});
  const fs::perms kPerms =
      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions("tesk.ips", kPerms);
  ASSERT_EQ(Run({"data", "0"}), 0);
  EXPECT_EQ(fs::status("tesk.ips").permissions() & fs::perms::all, kPerms);
}
#endif

}  // namespace
