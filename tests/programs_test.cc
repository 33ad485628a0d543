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

  // Every build, on every platform, makes exactly these bytes.
  const std::pair<const char*, std::uint64_t> kFingerprints[] = {
      {"intro.dte", 13321486340755107866ull}, {"intro.info", 6221224620152944283ull},
      {"tesk.tbl", 9523077883579688518ull},   {"tesk.bit", 4993070071907815831ull},
      {"tesk.ips", 7421260701236760020ull}};
  for (const auto& [name, fingerprint] : kFingerprints) {
    EXPECT_EQ(Fingerprint(ReadBytes(name)), fingerprint) << name;
  }
}

TEST_F(ProgramsTest, ScriptNamesWithFolders) {
  fs::create_directory("sub");
  for (const char* ext : {".pure", ".info"}) {
    fs::copy_file(fs::path(EXAMPLES_DIR) / (std::string("intro") + ext),
                  std::string("sub/intro") + ext);
  }
  const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
  // A relative name, then an absolute one (with its drive letter on Windows).
  const std::string relative = "sub" + separator + "intro";
  const std::string absolute = fs::absolute("sub").string() + separator + "intro";
  Result r = Start(PAIRPICK_BINARY, Quote(relative));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists("sub/intro.dte"));
  r = Start(HUFFBUILD_BINARY, Quote(absolute) + " " + Quote(absolute + "x"));
  EXPECT_EQ(r.status, 0);
  const std::string kSkip =
      "Could not open puretext file for script \"" + absolute + "x\". Skipping...\n";
  EXPECT_EQ(r.out.substr(0, kSkip.size()), kSkip);
  EXPECT_EQ(fs::file_size("tesk.bit"), 148104u);
  r = Start(CHAINREPORT_BINARY, Quote(relative));
  EXPECT_EQ(r.status, 0) << r.err;
}

// Bad input of every kind each program meets, through the real binaries:
// the message, the exit status, and every file left as it was.
struct BadInput {
  const char* name;
  std::vector<std::pair<std::string, Bytes>> files;
  std::string args;
  int status;
  std::string out;
  std::string err;
};

class BadInputTest : public ProgramsTest {
 protected:
  void Check(const char* binary, const std::vector<BadInput>& cases) {
    for (const BadInput& c : cases) {
      SCOPED_TRACE(c.name);
      for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
      for (const auto& [name, bytes] : c.files) testing_support::WriteBytes(name, bytes);
      const auto before = testing_support::Snapshot(".");
      const Result r = Start(binary, c.args);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.err, c.err);
      EXPECT_EQ(testing_support::Snapshot("."), before);
    }
  }
};

TEST_F(BadInputTest, Pairpick) {
  using testing_support::Info;
  using testing_support::Units;
  const Bytes kPure = Units({0x1F41, 0x1F42, 0x1F43});
  const Bytes kDte = {0xD7, 0xE0};
  Check(PAIRPICK_BINARY, {
      {"no script", {}, "", 1, "", "pairpick usage:\n  pairpick script1 [script2] [script3] ...\n"},
      {"missing puretext", {}, "a", 0, "",
       "Could not open puretext file a.pure. Skipping...\n"
       "Could not open puretext file a.pure. Skipping...\n"},
      {"missing information file", {{"a.pure", kPure}}, "a", 0, "",
       "Could not open information file a.info. Skipping...\n"},
      {"odd puretext", {{"a.pure", {0x41, 0x1F, 0x42}}, {"a.info", Info({{0, 3}})}, {"a.dte", kDte}},
       "a", 1, "", "Puretext file a.pure has an odd length. Skipping...\n"},
      {"negative length", {{"a.pure", kPure}, {"a.info", Info({{0, -6}})}, {"a.dte", kDte}}, "a", 1,
       "", "Information file a.info has a bad length in record 1. Skipping...\n"},
      {"records run out", {{"a.pure", kPure}, {"a.info", Info({{0, 2}})}, {"a.dte", kDte}}, "a", 1,
       "", "Information file a.info describes 2 bytes, but puretext file a.pure holds 6. Skipping...\n"},
      {"record reaches past the end", {{"a.pure", kPure}, {"a.info", Info({{0, 8}})}}, "a", 1, "",
       "Information file a.info describes 8 bytes, but puretext file a.pure holds 6. Skipping...\n"},
  });
}

TEST_F(BadInputTest, Huffbuild) {
  std::vector<std::uint16_t> many;
  for (int i = 0; i < 1500; ++i) many.push_back(static_cast<std::uint16_t>(i));
  const Bytes kTbl = {1, 2, 3, 4};
  const Bytes kBit = {5, 6};
  Check(HUFFBUILD_BINARY, {
      {"no script", {}, "", 1, "huffbuild usage:\n  huffbuild script1 [script2] [script3] [...]", ""},
      {"missing dte files", {{"tesk.tbl", kTbl}, {"tesk.bit", kBit}}, "a b", 1,
       "Could not open puretext file for script \"a\". Skipping...\n"
       "Could not open puretext file for script \"b\". Skipping...\n"
       "No dte file could be read. Shutting down...\n", ""},
      {"odd dte file", {{"a.dte", {1, 2, 3}}, {"tesk.tbl", kTbl}}, "a", 1,
       "Dte file for script \"a\" has an odd length. Shutting down...\n", ""},
      {"too many symbols", {{"a.dte", testing_support::UnitBytes(many)}, {"tesk.bit", kBit}}, "a", 1,
       "Too many distinct code units: 1500 found, the table holds 1452. Shutting down...\n", ""},
  });
}

TEST_F(BadInputTest, Ipsadd) {
  const Bytes kIps = {'P', 'A', 'T', 'C', 'H'};
  const std::string kUsage =
      "ipsadd usage:\n  ipsadd datafile offset\n    datafile - file to link in.\n"
      "    offset - where to link it.\n";
  Check(IPSADD_BINARY, {
      {"no operand", {{"tesk.ips", kIps}}, "", 1, kUsage, ""},
      {"three operands", {{"d", {1}}}, "d 1 2", 1, kUsage, ""},
      {"bad offset", {{"d", {1}}, {"tesk.ips", kIps}}, "d 7E0zz", 1,
       "Invalid offset \"7E0zz\": expected a hexadecimal number from 0 to FFFFFF.\n", ""},
      {"offset too large", {{"d", {1}}}, "d 1000000", 1,
       "Invalid offset \"1000000\": expected a hexadecimal number from 0 to FFFFFF.\n", ""},
      {"end marker offset", {{"d", {1}}}, "d 454f46", 1,
       "Offset 454F46 cannot be used: IPS reads it as the end marker.\n", ""},
      {"missing data", {{"tesk.ips", kIps}}, "gone 10", 1, "Could not open data file \"gone\".\n", ""},
      {"empty data", {{"d", {}}}, "d 10", 1, "Data file \"d\" is empty; nothing to add.\n", ""},
      {"oversized data", {{"d", Bytes(70000, 1)}, {"tesk.ips", kIps}}, "d FFFFFF", 1,
       "Data file \"d\" does not fit: a record would start above FFFFFF.\n", ""},
  });
}

}  // namespace
