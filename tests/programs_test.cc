// The real binaries, run the way a build script runs them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/message_cases.h"
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

// FNV-1a, 64 bits: a fingerprint of a file's bytes.
std::uint64_t Fingerprint(const Bytes& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
  return hash;
}

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
#if defined(_WIN32)
    // cmd /c drops the first and the last quote of a line that starts with
    // one; a pair around the whole line keeps the quotes inside.
    const int raw = std::system(("\"" + command + "\"").c_str());
#else
    const int raw = std::system(command.c_str());
#endif
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

TEST_F(ProgramsTest, WholeChainOnTheExampleScript) {
  CopyExample();
  ASSERT_EQ(Start(PAIRPICK_BINARY, "intro").status, 0);
  const Result r = Start(HUFFBUILD_BINARY, "intro");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string kProgress =
      "Building Bit Pattern Table, please be patient...\n" +
      std::string(29, '.') + "\n\tLongest pattern: ";
  EXPECT_EQ(r.out.substr(0, kProgress.size()), kProgress);
  EXPECT_EQ(fs::file_size("tesk.tbl"), 11612u);
  EXPECT_EQ(fs::file_size("tesk.bit"), 148104u);
  const Result report = Start(CHAINREPORT_BINARY, "intro");
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("\nscript "), std::string::npos);
  const Result packed = Start(HUFFPACK_BINARY, "--base 1F4000 intro");
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.out + packed.err, "");
  // Every string starts on a byte of its own: chainreport's bytes.
  EXPECT_EQ(fs::file_size("intro.huf"), 1260u);
  EXPECT_EQ(fs::file_size("intro.ptr"), 4 * 40u);
  ASSERT_EQ(Start(IPSADD_BINARY, "tesk.tbl 1F0000").status, 0);
  const Bytes ips = ReadBytes("tesk.ips");
  const Bytes tbl = ReadBytes("tesk.tbl");
  ASSERT_EQ(ips.size(), 5 + tbl.size());
  EXPECT_EQ(Bytes(ips.begin(), ips.begin() + 5),
            (Bytes{0x1F, 0x00, 0x00, 0x2D, 0x5C}));
  EXPECT_EQ(Bytes(ips.begin() + 5, ips.end()), tbl);

  // Every build, on every platform, makes exactly these bytes.
  const std::pair<const char*, std::uint64_t> kFingerprints[] = {
      {"intro.dte", 13321486340755107866ull},
      {"intro.info", 15444626413566641541ull},
      {"tesk.tbl", 9523077883579688518ull},
      {"tesk.bit", 4993070071907815831ull},
      {"intro.huf", 13947075449329130974ull},
      {"intro.ptr", 4109485748915342318ull},
      {"tesk.ips", 7421260701236760020ull}};
  for (const auto& [name, fingerprint] : kFingerprints) {
    EXPECT_EQ(Fingerprint(ReadBytes(name)), fingerprint) << name;
  }
}

// The whole road from the table and the text and back: puremake makes the
// committed prepared files, and textdump gives the text back byte for byte
// from the puretext, after pairpick from the dte file, and after huffbuild
// and huffpack from the packed text.
TEST_F(ProgramsTest, TextMadeAndDumpedBackOnTheExampleScript) {
  for (const char* name : {"intro.tbl", "intro.txt"}) {
    fs::copy_file(fs::path(EXAMPLES_DIR) / name, name);
  }
  const Bytes text = ReadBytes("intro.txt");
  Result r = Start(PUREMAKE_BINARY, "intro.tbl intro");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  for (const char* name : {"intro.pure", "intro.info"}) {
    EXPECT_EQ(ReadBytes(name), ReadBytes(fs::path(EXAMPLES_DIR) / name))
        << name;
  }
  r = Start(TEXTDUMP_BINARY, "intro.tbl intro");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), text);
  ASSERT_EQ(Start(PAIRPICK_BINARY, "intro").status, 0);
  r = Start(TEXTDUMP_BINARY, "--from dte intro.tbl intro");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), text);
  ASSERT_EQ(Start(HUFFBUILD_BINARY, "intro").status, 0);
  ASSERT_EQ(Start(HUFFPACK_BINARY, "--base 1F4000 intro").status, 0);
  r = Start(TEXTDUMP_BINARY, "--from huf --base 1F4000 intro.tbl intro");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), text);
}

TEST_F(ProgramsTest, ScriptNamesWithFolders) {
  fs::create_directory("sub");
  for (const char* ext : {".pure", ".info"}) {
    fs::copy_file(fs::path(EXAMPLES_DIR) / (std::string("intro") + ext),
                  std::string("sub/intro") + ext);
  }
  const std::string separator(1,
                              static_cast<char>(fs::path::preferred_separator));
  // A relative name, then an absolute one (with its drive letter on Windows).
  const std::string relative = "sub" + separator + "intro";
  const std::string absolute =
      fs::absolute("sub").string() + separator + "intro";
  Result r = Start(PAIRPICK_BINARY, Quote(relative));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists("sub/intro.dte"));
  r = Start(HUFFBUILD_BINARY, Quote(absolute) + " " + Quote(absolute + "x"));
  EXPECT_EQ(r.status, 0);
  const std::string kSkip = "Could not open puretext file for script \"" +
                            absolute + "x\". Skipping...\n";
  EXPECT_EQ(r.out.substr(0, kSkip.size()), kSkip);
  EXPECT_EQ(fs::file_size("tesk.bit"), 148104u);
  r = Start(CHAINREPORT_BINARY, Quote(relative));
  EXPECT_EQ(r.status, 0) << r.err;
}

// The messages and statuses of each program, through the real binaries: the
// same cases the in-process tests run.
class MessagesTest : public ProgramsTest {
 protected:
  void Check(const char* binary,
             const std::vector<testing_support::MessageCase>& cases) {
    testing_support::CheckMessages(
        cases, [&](const std::vector<std::string>& args) {
          std::string line;
          for (const std::string& arg : args) line += Quote(arg) + " ";
          const Result r = Start(binary, line);
          return testing_support::RunResult{r.status, r.out, r.err};
        });
  }
};

TEST_F(MessagesTest, Puremake) {
  Check(PUREMAKE_BINARY, testing_support::PuremakeMessages());
}
TEST_F(MessagesTest, Pairpick) {
  Check(PAIRPICK_BINARY, testing_support::PairpickMessages());
}
TEST_F(MessagesTest, Huffbuild) {
  Check(HUFFBUILD_BINARY, testing_support::HuffbuildMessages());
}
TEST_F(MessagesTest, Ipsadd) {
  Check(IPSADD_BINARY, testing_support::IpsaddMessages());
}
TEST_F(MessagesTest, Chainreport) {
  Check(CHAINREPORT_BINARY, testing_support::ChainreportMessages());
}
TEST_F(MessagesTest, Textdump) {
  Check(TEXTDUMP_BINARY, testing_support::TextdumpMessages());
}

TEST_F(MessagesTest, Huffpack) {
  Check(HUFFPACK_BINARY, testing_support::HuffpackMessages());
}

}  // namespace
