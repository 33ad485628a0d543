#include "common/output_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <random>

#include "common/interrupts.h"

namespace common {

namespace fs = std::filesystem;

namespace {

// Long enough to tell which target a temporary belongs to, short enough that
// the temporary's name fits wherever the target's does.
constexpr std::size_t kNamePrefixLength = 40;

// A generator seeded once per process from the system's randomness, so
// that no run can tell the names of another's next temporaries; together
// with the process id in the name, names do not meet.
std::uint32_t RandomPart() {
  static std::mt19937 generator = [] {
    std::random_device random;
    std::seed_seq seed{random(), random(), random(), random()};
    return std::mt19937(seed);
  }();
  return static_cast<std::uint32_t>(generator());
}

}  // namespace

fs::path UniqueNameBeside(const fs::path& target, const char* suffix) {
  std::string name = target.filename().string();
  if (name.size() > kNamePrefixLength) name.resize(kNamePrefixLength);
  char tail[40];
  std::snprintf(tail, sizeof tail, ".%d-%08x", ProcessId(),
                static_cast<unsigned>(RandomPart()));
  fs::path result = target;
  result.replace_filename(fs::path(name + tail + suffix));
  return result;
}

int ProcessIdInName(const std::string& name, const char* suffix) {
  const std::string ending = suffix;
  if (name.size() <= ending.size() ||
      name.compare(name.size() - ending.size(), ending.size(), ending) != 0) {
    return 0;
  }
  // ...<name>.<pid>-<8 hex digits><suffix>
  const std::size_t hex_end = name.size() - ending.size();
  if (hex_end < 9 || name[hex_end - 9] != '-') return 0;
  for (std::size_t i = hex_end - 8; i < hex_end; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return 0;
  }
  const std::size_t dash = hex_end - 9;
  const std::size_t dot = name.rfind('.', dash);
  if (dot == std::string::npos || dot + 1 == dash || dash - dot > 11) return 0;
  long long pid = 0;
  for (std::size_t i = dot + 1; i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

bool FileWriter::Flush(std::error_code& ec) {
  Drain();
  if (error_) ec = error_;
  return !error_;
}

void FileWriter::WriteSlow(const std::uint8_t* data, std::size_t n) {
  Drain();
  if (n >= buffer_.size()) {
    Put(data, n);
  } else {
    std::memcpy(buffer_.data(), data, n);
    used_ = n;
  }
}

void FileWriter::Drain() {
  Put(buffer_.data(), used_);
  used_ = 0;
}

void FileWriter::Put(const std::uint8_t* data, std::size_t n) {
  if (n == 0 || error_) return;
  written_ += n;
  if (file_ == nullptr || !file_->is_open()) {
    error_ = std::make_error_code(std::errc::bad_file_descriptor);
  } else if (faults_ != nullptr && !faults_->TakeSpace(n)) {
    error_ = std::make_error_code(std::errc::no_space_on_device);
  } else {
    file_->WriteAll(data, n, error_);
  }
}

OutputFile::~OutputFile() {
  if (temp_.empty() || handed_over_) return;
  if (faults_ != nullptr && faults_->crashed()) {
    // As after a real kill, the file stays and the run no longer knows it.
    ForgetTemporary(temp_);
    return;
  }
  std::error_code ec;
  file_.Close(ec);
  RemoveFile(temp_, ec);
  ForgetTemporary(temp_);
}

OutputProblem OutputFile::Begin(const fs::path& target, std::error_code& ec,
                                std::uint32_t limit) {
  ec.clear();
  target_ = target;
  const PathStatus status = StatusOf(target, ec);
  if (ec) return OutputProblem::kCannotCreate;
  std::uint32_t permissions = DefaultPermissions();
  switch (status.kind) {
    case PathKind::kMissing:
    case PathKind::kLink:
      break;
    case PathKind::kRegular:
      if (status.read_only) return OutputProblem::kReadOnly;
      if (status.owned_by_user) permissions = status.permissions;
      break;
    case PathKind::kDirectory:
    case PathKind::kOther:
      return OutputProblem::kNotAFile;
  }
  const fs::path temp = UniqueNameBeside(target, kTempSuffix);
  if (faults_ != nullptr && faults_->Fails(FaultPoint::kCreate, ec)) {
    return OutputProblem::kCannotCreate;
  }
  {
    // Registered before it exists, so that an interrupt cannot leave it.
    InterruptsHeld held;
    TrackTemporary(temp);
    if (!NativeFile::CreateNew(temp, permissions & limit & 0777, file_, ec)) {
      ForgetTemporary(temp);
      return OutputProblem::kCannotCreate;
    }
  }
  temp_ = temp;
  writer_.Attach(&file_);
  return OutputProblem::kNone;
}

bool OutputFile::Finish(std::error_code& ec) {
  ec.clear();
  bool ok = writer_.Flush(ec);
  if (ok && SyncsFilesOneByOne()) {
    if (faults_ != nullptr && faults_->Fails(FaultPoint::kSync, ec)) {
      ok = false;
    } else {
      ok = file_.Sync(ec);
    }
  }
  std::error_code close_ec;
  if (!file_.Close(close_ec) && ok) {
    ec = close_ec;
    ok = false;
  }
  return ok;
}

FinishedFile OutputFile::HandOver() {
  handed_over_ = true;
  return {target_, temp_};
}

}  // namespace common
