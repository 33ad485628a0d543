#include "tests/test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/commit.h"
#include "common/file_io.h"
#include "common/info_record.h"
#include "common/tables.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace testing_support {

namespace fs = std::filesystem;

void TempDirTest::SetUp() {
  previous_ = fs::current_path();
  const ::testing::TestInfo* info =
      ::testing::UnitTest::GetInstance()->current_test_info();
  std::random_device random;
  std::string name = std::string(info->test_suite_name()) + "-" + info->name() +
                     "-" + std::to_string(random());
  std::replace(name.begin(), name.end(), '/', '_');
  dir_ = fs::temp_directory_path() / ("tesk-" + name);
  fs::create_directories(dir_);
  fs::current_path(dir_);
}

void TempDirTest::TearDown() {
  fs::current_path(previous_);
  std::error_code ec;
#if defined(_WIN32)
  // The extended form reaches paths longer than 260 characters too.
  dir_ = fs::path(L"\\\\?\\" + fs::absolute(dir_).wstring());
#endif
  // Read-only files and folders made by a test must not stop the removal.
  for (auto it = fs::recursive_directory_iterator(dir_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                    ec);
  }
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::error_code ec;
  ASSERT_TRUE(common::RemoveFile(path, ec)) << path << ": " << ec.message();
  common::NativeFile file;
  ASSERT_TRUE(common::NativeFile::CreateNew(path, std::nullopt, file, ec))
      << path << ": " << ec.message();
  ASSERT_TRUE(file.WriteAll(bytes.data(), bytes.size(), ec)) << path;
  ASSERT_TRUE(file.Close(ec)) << path;
}

Bytes ReadBytes(const fs::path& path) {
  Bytes bytes;
  EXPECT_EQ(common::ReadWholeFile(path, bytes), common::ReadResult::kOk)
      << "cannot read " << path;
  return bytes;
}

bool NoCommitLeftovers(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(common::kTempSuffix) != std::string::npos ||
        name.find(common::kAsideSuffix) != std::string::npos ||
        name == common::kJournalName) {
      return false;
    }
  }
  return true;
}

Bytes Units(std::initializer_list<std::uint16_t> units) {
  return UnitBytes(std::vector<std::uint16_t>(units));
}

Bytes UnitBytes(const std::vector<std::uint16_t>& units) {
  Bytes bytes;
  for (std::uint16_t unit : units) common::AppendLe16(bytes, unit);
  return bytes;
}

Bytes Info(
    std::initializer_list<std::pair<std::uint32_t, std::int32_t>> records) {
  Bytes bytes;
  for (const auto& [carried, length] : records) {
    std::uint8_t record[common::kInfoRecordSize];
    common::EncodeInfoRecord({carried, length}, record);
    bytes.insert(bytes.end(), record, record + common::kInfoRecordSize);
  }
  return bytes;
}

std::vector<std::int32_t> InfoLengths(const Bytes& info) {
  std::vector<std::int32_t> lengths;
  for (std::size_t i = 0; i + common::kInfoRecordSize <= info.size();
       i += common::kInfoRecordSize) {
    lengths.push_back(common::DecodeInfoRecord(info.data() + i).byteLength);
  }
  return lengths;
}

std::pair<Bytes, Bytes> ChainCode(std::size_t n, std::uint16_t first_symbol) {
  std::vector<common::NodeEntry> table;
  Bytes bit;
  for (std::size_t i = 0; i < n; ++i) {
    const auto symbol = static_cast<std::uint16_t>(first_symbol + i);
    table.push_back({symbol, common::kLeafMarker});
    common::AppendBitRecord(bit, symbol,
                            std::string(i, '1') + (i + 1 < n ? "0" : ""));
  }
  // From the deepest node up: each names its '0' leaf, then what is below.
  auto below = static_cast<std::uint16_t>(n - 1);
  for (std::size_t i = n - 1; i-- > 0;) {
    table.push_back({static_cast<std::uint16_t>(i), below});
    below = static_cast<std::uint16_t>(table.size() - 1);
  }
  return {common::EncodeNodeTable(table), bit};
}

std::vector<std::pair<std::string, Bytes>> Snapshot(const fs::path& dir) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files.emplace_back(entry.path().filename().string(),
                         ReadBytes(entry.path()));
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool RunningAsRoot() {
#if defined(_WIN32)
  return false;
#else
  return geteuid() == 0;
#endif
}

}  // namespace testing_support
