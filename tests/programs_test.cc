// The real binaries, run the way a build script runs them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::ReadBytes;

struct Result {
  int status;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string ReadText(const char* path) {
  const Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class ProgramsTest : public testing_support::TempDirTest {
 protected:
  Result Start(const std::string& binary, const std::string& args) {
    const std::string command = Quote(binary) + " " + args +
                                " >stdout.txt 2>stderr.txt <" +
#if defined(_WIN32)
                                "NUL";
#else
                                "/dev/null";
#endif
    const int raw = std::system(command.c_str());
#if defined(_WIN32)
    const int status = raw;
#else
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    Result result{status, ReadText("stdout.txt"), ReadText("stderr.txt")};
    fs::remove("stdout.txt");
    fs::remove("stderr.txt");
    return result;
  }
  void CopyExample() {
    for (const char* ext : {".pure", ".info"}) {
      fs::copy_file(fs::path(EXAMPLES_DIR) / (std::string("intro") + ext),
                    std::string("intro") + ext);
    }
  }
};

TEST_F(ProgramsTest, PairpickUsageAndMissingScript) {
  Result r = Start(PAIRPICK_BINARY, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pairpick usage:\n  pairpick script1 [script2] [script3] ...\n");
  EXPECT_EQ(r.out, "");
  r = Start(PAIRPICK_BINARY, "--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "pairpick " TESK_VERSION "\n");
  r = Start(PAIRPICK_BINARY, "gone");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "Could not open puretext file gone.pure. Skipping...\n"
            "Could not open puretext file gone.pure. Skipping...\n");
}

TEST_F(ProgramsTest, PairpickShrinksTheExampleScript) {
  CopyExample();
  const Bytes info_before = ReadBytes("intro.info");
  const Result r = Start(PAIRPICK_BINARY, "intro");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_LT(fs::file_size("intro.dte"), fs::file_size("intro.pure") * 3 / 4);
  const Bytes info_after = ReadBytes("intro.info");
  ASSERT_EQ(info_after.size(), info_before.size());
  std::int64_t total = 0;
  for (std::int32_t length : testing_support::InfoLengths(info_after)) {
    total += length;
  }
  EXPECT_EQ(total, static_cast<std::int64_t>(fs::file_size("intro.dte")));
}

TEST_F(ProgramsTest, HuffbuildAndIpsaddUsage) {
  Result r = Start(HUFFBUILD_BINARY, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "huffbuild usage:\n  huffbuild script1 [script2] [script3] [...]");
  r = Start(HUFFBUILD_BINARY, "gone");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Could not open puretext file for script \"gone\". Skipping...\n"
            "No dte file could be read. Shutting down...\n");
  r = Start(IPSADD_BINARY, "one");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "ipsadd usage:\n  ipsadd datafile offset\n    datafile - file to link "
            "in.\n    offset - where to link it.\n");
  r = Start(IPSADD_BINARY, "gone 7E0");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Could not open data file \"gone\".\n");
  EXPECT_FALSE(fs::exists("tesk.ips"));
}

TEST_F(ProgramsTest, WholeChainOnTheExampleScript) {
  CopyExample();
  ASSERT_EQ(Start(PAIRPICK_BINARY, "intro").status, 0);
  const Result r = Start(HUFFBUILD_BINARY, "intro");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string kProgress =
      "Building Bit Pattern Table, please be patient...\n" + std::string(29, '.') +
      "\n\tLongest pattern: ";
  EXPECT_EQ(r.out.substr(0, kProgress.size()), kProgress);
  EXPECT_EQ(fs::file_size("tesk.tbl"), 11612u);
  EXPECT_EQ(fs::file_size("tesk.bit"), 148104u);
  const Result report = Start(CHAINREPORT_BINARY, "intro");
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(report.out.substr(0, 7), "script ");
  ASSERT_EQ(Start(IPSADD_BINARY, "tesk.tbl 1F0000").status, 0);
  const Bytes ips = ReadBytes("tesk.ips");
  const Bytes tbl = ReadBytes("tesk.tbl");
  ASSERT_EQ(ips.size(), 5 + tbl.size());
  EXPECT_EQ(Bytes(ips.begin(), ips.begin() + 5), (Bytes{0x1F, 0x00, 0x00, 0x2D, 0x5C}));
  EXPECT_EQ(Bytes(ips.begin() + 5, ips.end()), tbl);
}

}  // namespace
