// Every message a program prints for its command line and for bad input,
// with its exit status, stated once: each program's in-process test and the
// test of the real binaries run the same cases. In every case the folder's
// files stay exactly as they were.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace testing_support {

struct MessageCase {
  const char* name;
  std::vector<std::pair<std::string, Bytes>> files;  // made before the run
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

std::vector<MessageCase> PuremakeMessages();
std::vector<MessageCase> PairpickMessages();
std::vector<MessageCase> HuffbuildMessages();
std::vector<MessageCase> IpsaddMessages();
std::vector<MessageCase> ChainreportMessages();
std::vector<MessageCase> TextdumpMessages();
std::vector<MessageCase> HuffpackMessages();

// The tables of the four-symbol code of the README: A (0x1F41) 1, B 01,
// C 001, D 000.
Bytes SmallNodeTable();
Bytes SmallBitPatternTable();

struct RunResult {
  int status;
  std::string out;
  std::string err;
};
using Runner = std::function<RunResult(const std::vector<std::string>& args)>;

// Runs each case in the current (emptied) folder and checks the status,
// both streams and that no file changed.
void CheckMessages(const std::vector<MessageCase>& cases, const Runner& run);

}  // namespace testing_support
