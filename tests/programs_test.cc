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

}  // namespace
