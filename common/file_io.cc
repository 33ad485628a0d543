#include "common/file_io.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace common {

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#if defined(_WIN32)
  wchar_t wide_mode[8] = {};
  for (int i = 0; i < 7 && mode[i] != '\0'; ++i) {
    wide_mode[i] = static_cast<wchar_t>(mode[i]);
  }
  return _wfopen(path.c_str(), wide_mode);
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool MayWrite(const std::filesystem::path& path) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
#endif
  std::FILE* probe = OpenFile(path, "r+b");
  if (probe == nullptr) return false;
  std::fclose(probe);
  return true;
}

bool SyncFile(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

void UseBinaryStandardStreams() {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
}

void RenameOver(const std::filesystem::path& from,
                 const std::filesystem::path& to, std::error_code& ec) {
#if defined(_WIN32)
  if (MoveFileExW(from.c_str(), to.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ec.clear();
  } else {
    ec = std::error_code(static_cast<int>(GetLastError()),
                         std::system_category());
  }
#else
  std::filesystem::rename(from, to, ec);
#endif
}

}  // namespace common
