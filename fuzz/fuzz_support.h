// What the fuzz targets share: a private working directory (on a RAM disk
// where there is one) and whole-file helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fuzz_support {

using Bytes = std::vector<std::uint8_t>;

// Makes a fresh directory and makes it current, once per process.
inline void EnterScratchDirectory(const char* name) {
  namespace fs = std::filesystem;
  static bool entered = false;
  if (entered) return;
  entered = true;
  const fs::path base =
      fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path dir =
      base / (std::string(name) + "-" + std::to_string(std::rand()) + "-" +
              std::to_string(reinterpret_cast<std::uintptr_t>(&entered)));
  fs::create_directories(dir);
  fs::current_path(dir);
}

inline void WriteFile(const char* name, const Bytes& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

inline bool Exists(const char* name) { return std::filesystem::exists(name); }

// Fails the run loudly, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// No temporary file may outlive a run.
inline void CheckNoTemporaries() {
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    Check(entry.path().string().find(".tesk-tmp") == std::string::npos,
          "a temporary file outlived the run");
  }
}

}  // namespace fuzz_support
