// The least that a durable run of each program must do, for the benchmark
// to time the programs against. Every mode reads its inputs with read()
// into one reused buffer; the modes that replace files write outputs of the
// programs' sizes to temporaries created beside the targets, put them all
// on the disk with one syncfs() per file system, rename each over its target
// and sync each folder once.
//
//   floor pairpick SCRIPT...   reads SCRIPT.pure and SCRIPT.info twice (a
//                              survey, then the encoding pass) and writes
//                              SCRIPT.dte and SCRIPT.info
//   floor huffbuild SCRIPT...  reads SCRIPT.dte once, writes tesk.tbl and
//                              tesk.bit
//   floor read FILE...         reads the files
//   floor append DATA          appends DATA to tesk.ips in place, then one
//                              fdatasync()
//
// SCRIPT.dte gets the size of an existing SCRIPT.dte (left by a run of
// pairpick), else the size of SCRIPT.pure; SCRIPT.info keeps its size.
// The bytes written are whatever the buffer holds: only the amount of work
// matters here. Exit status 0, or 1 with a message on standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::uint64_t kTableBytes = 11612;        // 2903 nodes of 4 bytes
constexpr std::uint64_t kBitPatternBytes = 148104;  // 1452 records of 102
constexpr const char* kTempSuffix = ".floor-tmp";

bool Fail(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "floor: could not %s %s: %s\n", what.c_str(),
               path.c_str(), std::strerror(errno));
  return false;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Reads the open file `fd` to its end through `buffer`, handing each block
// to `sink` (which returns false to stop). Returns the bytes read, or
// nullopt on a read error or a stop.
template <typename Sink>
std::optional<std::uint64_t> ReadThrough(int fd, std::span<char> buffer,
                                         Sink&& sink) {
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got == 0) return total;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (!sink(std::span<const char>(buffer.data(),
                                    static_cast<std::size_t>(got)))) {
      return std::nullopt;
    }
    total += static_cast<std::uint64_t>(got);
  }
}

bool WriteAll(int fd, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

// Writes `n` bytes, taken from `buffer` over and over.
bool WriteFill(int fd, std::span<const char> buffer, std::uint64_t n) {
  while (n > 0) {
    const std::size_t step =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, buffer.size()));
    if (!WriteAll(fd, buffer.first(step))) return false;
    n -= step;
  }
  return true;
}

bool ReadFile(const std::string& path, std::span<char> buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("open", path);
  const bool ok = ReadThrough(fd, buffer, [](std::span<const char>) {
                    return true;
                  }).has_value();
  close(fd);
  return ok || Fail("read", path);
}

// Temporaries beside their targets that replace the targets together.
// Those not yet renamed are removed when the set goes away.
class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet() {
    for (std::size_t i = renamed_; i < outputs_.size(); ++i) {
      unlink(outputs_[i].temp.c_str());
    }
  }

  // Creates the temporary for `target` exclusively, with the target's
  // permission bits when it exists. Returns its descriptor, or -1.
  int Create(const std::string& target) {
    struct stat st;
    const mode_t mode =
        stat(target.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0666;
    std::string temp = target + kTempSuffix;
    const int fd =
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      Fail("create", temp);
      return -1;
    }
    outputs_.push_back({target, std::move(temp)});
    return fd;
  }

  // REQUIRES: every temporary is written and closed. Puts them on the disk
  // with one syncfs() per file system, renames them, then syncs each
  // folder once so that the renames last too.
  bool Commit() {
    std::vector<std::string> folders;
    for (const Output& output : outputs_) {
      std::string folder = FolderOf(output.target);
      if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
        folders.push_back(std::move(folder));
      }
    }
    std::vector<int> folder_fds;
    bool ok = true;
    for (const std::string& folder : folders) {
      const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) {
        ok = Fail("open folder", folder);
        break;
      }
      folder_fds.push_back(fd);
    }
    std::vector<dev_t> synced;
    for (std::size_t i = 0; ok && i < folder_fds.size(); ++i) {
      struct stat st;
      if (fstat(folder_fds[i], &st) != 0) {
        ok = Fail("inspect folder", folders[i]);
      } else if (std::find(synced.begin(), synced.end(), st.st_dev) ==
                 synced.end()) {
        if (syncfs(folder_fds[i]) != 0) ok = Fail("sync", folders[i]);
        synced.push_back(st.st_dev);
      }
    }
    for (; ok && renamed_ < outputs_.size(); ++renamed_) {
      const Output& output = outputs_[renamed_];
      if (rename(output.temp.c_str(), output.target.c_str()) != 0) {
        ok = Fail("rename over", output.target);
      }
    }
    for (std::size_t i = 0; ok && i < folder_fds.size(); ++i) {
      if (fsync(folder_fds[i]) != 0) ok = Fail("sync folder", folders[i]);
    }
    for (const int fd : folder_fds) close(fd);
    return ok;
  }

 private:
  struct Output {
    std::string target;
    std::string temp;
  };
  std::vector<Output> outputs_;
  std::size_t renamed_ = 0;
};

bool CloseOutput(int fd, const std::string& target) {
  return close(fd) == 0 || Fail("write", target);
}

// Reads `source` through `buffer` and writes `size` bytes to a new
// temporary for `target`: the blocks as read, cut or topped up to `size`.
bool Rewrite(const std::string& source, const std::string& target,
             std::uint64_t size, std::span<char> buffer, OutputSet& outputs) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open", source);
  const int out = outputs.Create(target);
  if (out < 0) {
    close(in);
    return false;
  }
  std::uint64_t left = size;
  const bool read_ok =
      ReadThrough(in, buffer, [&](std::span<const char> block) {
        const std::size_t step = static_cast<std::size_t>(
            std::min<std::uint64_t>(left, block.size()));
        left -= step;
        return WriteAll(out, block.first(step));
      }).has_value();
  close(in);
  const bool ok = read_ok && WriteFill(out, buffer, left);
  return CloseOutput(out, target) && (ok || Fail("copy", source));
}

bool Pairpick(const std::vector<std::string>& scripts, std::span<char> buffer) {
  for (const std::string& script : scripts) {
    if (!ReadFile(script + ".pure", buffer) ||
        !ReadFile(script + ".info", buffer)) {
      return false;
    }
  }
  OutputSet outputs;
  for (const std::string& script : scripts) {
    const std::string pure = script + ".pure";
    const std::string info = script + ".info";
    const std::string dte = script + ".dte";
    struct stat st;
    if (stat(dte.c_str(), &st) != 0 && stat(pure.c_str(), &st) != 0) {
      return Fail("inspect", pure);
    }
    const auto dte_size = static_cast<std::uint64_t>(st.st_size);
    if (stat(info.c_str(), &st) != 0) return Fail("inspect", info);
    const auto info_size = static_cast<std::uint64_t>(st.st_size);
    if (!Rewrite(pure, dte, dte_size, buffer, outputs) ||
        !Rewrite(info, info, info_size, buffer, outputs)) {
      return false;
    }
  }
  return outputs.Commit();
}

bool Huffbuild(const std::vector<std::string>& scripts,
               std::span<char> buffer) {
  for (const std::string& script : scripts) {
    if (!ReadFile(script + ".dte", buffer)) return false;
  }
  OutputSet outputs;
  const std::pair<const char*, std::uint64_t> kTables[] = {
      {"tesk.tbl", kTableBytes}, {"tesk.bit", kBitPatternBytes}};
  for (const auto& [name, size] : kTables) {
    const int fd = outputs.Create(name);
    if (fd < 0) return false;
    const bool written = WriteFill(fd, buffer, size) || Fail("write", name);
    if (!CloseOutput(fd, name) || !written) return false;
  }
  return outputs.Commit();
}

bool Read(const std::vector<std::string>& files, std::span<char> buffer) {
  for (const std::string& file : files) {
    if (!ReadFile(file, buffer)) return false;
  }
  return true;
}

bool Append(const std::string& data, std::span<char> buffer) {
  const std::string kIps = "tesk.ips";
  const int in = open(data.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open", data);
  const int out =
      open(kIps.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (out < 0) {
    close(in);
    return Fail("open", kIps);
  }
  bool ok = ReadThrough(in, buffer, [&](std::span<const char> block) {
              return WriteAll(out, block);
            }).has_value();
  close(in);
  if (!ok) Fail("append", data);
  if (ok && fdatasync(out) != 0) ok = Fail("sync", kIps);
  return close(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string mode = args.empty() ? std::string() : args[0];
  const std::vector<std::string> operands(args.begin() + (args.empty() ? 0 : 1),
                                          args.end());
  std::vector<char> buffer(kBufferSize);
  bool ok = false;
  if (mode == "pairpick" && !operands.empty()) {
    ok = Pairpick(operands, buffer);
  } else if (mode == "huffbuild" && !operands.empty()) {
    ok = Huffbuild(operands, buffer);
  } else if (mode == "read") {
    ok = Read(operands, buffer);
  } else if (mode == "append" && operands.size() == 1) {
    ok = Append(operands[0], buffer);
  } else {
    std::fprintf(stderr,
                 "usage: floor pairpick SCRIPT...\n"
                 "       floor huffbuild SCRIPT...\n"
                 "       floor read FILE...\n"
                 "       floor append DATA\n");
  }
  return ok ? 0 : 1;
}
