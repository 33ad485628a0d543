// huffbuild on arbitrary dte bytes, cut into one to three dte files.
//
// Input: one byte that says where to cut, then the dte bytes. An accepted
// run must leave tables that form one sound prefix code covering every unit
// of the dte files; a refused one must leave the old tables as they were.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "common/bytes.h"
#include "common/huffman_code.h"
#include "fuzz/fuzz_support.h"
#include "huffbuild/huffbuild.h"

namespace {

using fuzz_support::Bytes;
using fuzz_support::Check;

const Bytes kOldTable = {1, 2, 3, 4};
const Bytes kOldBits = {5, 6, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  fuzz_support::EnterScratchDirectory("huffbuild-fuzz");
  const std::size_t body = size - 1;
  const std::size_t cut1 = body * (data[0] & 0x0F) / 15;
  const std::size_t cut2 = cut1 + (body - cut1) * (data[0] >> 4) / 15;
  const Bytes files[3] = {Bytes(data + 1, data + 1 + cut1),
                          Bytes(data + 1 + cut1, data + 1 + cut2),
                          Bytes(data + 1 + cut2, data + size)};
  const char* kNames[3] = {"a", "b", "c"};
  std::vector<std::string> args;
  for (int i = 0; i < 3; ++i) {
    const std::string dte = std::string(kNames[i]) + ".dte";
    std::filesystem::remove(dte);
    // An empty third part stands for a missing script.
    if (i < 2 || !files[i].empty())
      fuzz_support::WriteFile(dte.c_str(), files[i]);
    args.push_back(kNames[i]);
  }
  fuzz_support::WriteFile("tesk.tbl", kOldTable);
  fuzz_support::WriteFile("tesk.bit", kOldBits);

  std::ostringstream out, err;
  const int status = huffbuild::Run(args, out, err);
  const Bytes tbl = fuzz_support::ReadFile("tesk.tbl");
  const Bytes bit = fuzz_support::ReadFile("tesk.bit");
  fuzz_support::CheckNoTemporaries();
  if (status != 0) {
    Check(tbl == kOldTable && bit == kOldBits, "a refused run changed a table");
    return 0;
  }
  Check(tbl.size() == 11612 && bit.size() == 148104, "table sizes");
  std::ostringstream faults;
  const std::optional<common::HuffmanCode> code =
      common::VerifyCode(tbl, bit, faults);
  if (!code) fuzz_support::Fail(faults.str().c_str());
  for (int i = 0; i < 3; ++i) {
    Check(files[i].size() % 2 == 0, "an odd dte file was accepted");
    for (std::size_t p = 0; p + 1 < files[i].size(); p += 2) {
      Check(code->leaf_of[common::ReadLe16(files[i].data() + p)] >= 0,
            "a unit without a leaf");
    }
  }
  return 0;
}
