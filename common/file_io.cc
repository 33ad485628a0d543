#include "common/file_io.h"

#include <algorithm>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace common {

namespace fs = std::filesystem;

fs::path FolderOf(const fs::path& path) {
  const fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

#if defined(_WIN32)

namespace {

std::error_code LastError() {
  return std::error_code(static_cast<int>(GetLastError()),
                         std::system_category());
}

bool IsMissingError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME;
}

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

}  // namespace

// In the extended form no part is read as a device name and no length limit
// of 260 holds; the path is made absolute and normalised here, as the system
// does for a path in the ordinary form.
std::wstring NativePath(const fs::path& path) {
  std::wstring text = path.wstring();
  if (text.rfind(L"\\\\?\\", 0) == 0) return text;
  fs::path full = path;
  if (!full.is_absolute()) {
    std::error_code ec;
    if (full.has_root_name() && !full.has_root_directory()) {
      // A drive-relative path such as C:name: relative to that drive's
      // current folder.
      const std::wstring drive = full.root_name().wstring();
      wchar_t buffer[32768];
      const DWORD n = GetFullPathNameW(drive.c_str(), 32768, buffer, nullptr);
      full = fs::path(std::wstring(buffer, n)) / full.relative_path();
    } else if (full.has_root_directory()) {
      full = fs::current_path(ec).root_name() / full;
    } else {
      full = fs::current_path(ec) / full;
    }
  }
  text = full.lexically_normal().wstring();
  std::replace(text.begin(), text.end(), L'/', L'\\');
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  if (text.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + text.substr(2);
  return L"\\\\?\\" + text;
}

PathKind KindOf(const fs::path& path, std::error_code& ec) {
  return StatusOf(path, ec).kind;
}

PathStatus StatusOf(const fs::path& path, std::error_code& ec) {
  ec.clear();
  PathStatus status;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(NativePath(path).c_str(), GetFileExInfoStandard,
                            &data)) {
    const DWORD error = GetLastError();
    if (!IsMissingError(error)) {
      ec = std::error_code(static_cast<int>(error), std::system_category());
    }
    return status;
  }
  const DWORD attributes = data.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    status.kind = PathKind::kLink;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    status.kind = PathKind::kDirectory;
  } else {
    status.kind = PathKind::kRegular;
  }
  status.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.permissions = status.read_only ? 0444 : 0666;
  status.owned_by_user = true;
  return status;
}

NativeFile::NativeFile(NativeFile&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

NativeFile& NativeFile::operator=(NativeFile&& other) noexcept {
  if (this != &other) {
    std::error_code ignored;
    Close(ignored);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

NativeFile::~NativeFile() {
  std::error_code ignored;
  Close(ignored);
}

bool NativeFile::is_open() const { return handle_ != nullptr; }

OpenResult NativeFile::OpenForReading(const fs::path& path, NativeFile& file,
                                      std::error_code& ec, std::uint64_t* size,
                                      FileIdentity* identity) {
  ec.clear();
  const std::wstring native = NativePath(path);
  HANDLE handle =
      CreateFileW(native.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (IsMissingError(error)) return OpenResult::kMissing;
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return OpenResult::kNotRegular;
    }
    ec = std::error_code(static_cast<int>(error), std::system_category());
    return OpenResult::kFailed;
  }
  file = NativeFile();
  file.handle_ = handle;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    file.Close(ec);
    return OpenResult::kNotRegular;
  }
  if ((size != nullptr || identity != nullptr) &&
      !file.Measure(size, identity, ec)) {
    file.Close(ec);
    return OpenResult::kFailed;
  }
  return OpenResult::kOk;
}

OpenResult NativeFile::OpenForUpdate(const fs::path& path, NativeFile& file,
                                     std::error_code& ec) {
  ec.clear();
  HANDLE handle = CreateFileW(
      NativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (IsMissingError(error)) return OpenResult::kMissing;
    ec = std::error_code(static_cast<int>(error), std::system_category());
    return OpenResult::kFailed;
  }
  file = NativeFile();
  file.handle_ = handle;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    file.Close(ec);
    return OpenResult::kNotRegular;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    file.Close(ec);
    ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return OpenResult::kFailed;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    file.Close(ec);
    return OpenResult::kNotRegular;
  }
  return OpenResult::kOk;
}

bool NativeFile::CreateNew(const fs::path& path,
                           std::optional<std::uint32_t> permissions,
                           NativeFile& file, std::error_code& ec) {
  (void)permissions;  // Windows keeps only the read-only attribute
  ec.clear();
  HANDLE handle = CreateFileW(NativePath(path).c_str(), GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ec = LastError();
    return false;
  }
  file = NativeFile();
  file.handle_ = handle;
  return true;
}

bool NativeFile::Measure(std::uint64_t* size, FileIdentity* identity,
                         std::error_code& ec) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(AsHandle(handle_), &info)) {
    ec = LastError();
    return false;
  }
  if (size != nullptr) {
    *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  }
  if (identity != nullptr) {
    identity->device = info.dwVolumeSerialNumber;
    identity->number =
        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  }
  return true;
}

bool NativeFile::OwnedByThisUser() const { return true; }

std::size_t NativeFile::Read(std::uint8_t* data, std::size_t n,
                             std::error_code& ec) {
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  DWORD got = 0;
  if (!ReadFile(AsHandle(handle_), data, want, &got, nullptr)) {
    ec = LastError();
    return 0;
  }
  return got;
}

bool NativeFile::WriteAll(const std::uint8_t* data, std::size_t n,
                          std::error_code& ec) {
  while (n > 0) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(AsHandle(handle_), data, want, &put, nullptr) || put == 0) {
      ec = LastError();
      if (!ec) ec = std::make_error_code(std::errc::io_error);
      return false;
    }
    data += put;
    n -= put;
  }
  return true;
}

bool NativeFile::Seek(std::uint64_t offset, std::error_code& ec) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN)) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::Truncate(std::uint64_t size, std::error_code& ec) {
  if (!Seek(size, ec)) return false;
  if (!SetEndOfFile(AsHandle(handle_))) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::Sync(std::error_code& ec) {
  if (!FlushFileBuffers(AsHandle(handle_))) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::DropSetIdBits(std::error_code& ec) {
  ec.clear();
  return true;
}

bool NativeFile::Close(std::error_code& ec) {
  if (handle_ == nullptr) return true;
  const bool closed = CloseHandle(AsHandle(handle_)) != 0;
  if (!closed) ec = LastError();
  handle_ = nullptr;
  return closed;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::error_code& ec) {
  ec.clear();
  if (!MoveFileExW(NativePath(from).c_str(), NativePath(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ec = LastError();
    return false;
  }
  return true;
}

bool HardLink(const fs::path& existing, const fs::path& link,
              std::error_code& ec) {
  ec.clear();
  if (!CreateHardLinkW(NativePath(link).c_str(), NativePath(existing).c_str(),
                       nullptr)) {
    ec = LastError();
    return false;
  }
  return true;
}

bool RemoveFile(const fs::path& path, std::error_code& ec) {
  ec.clear();
  if (!DeleteFileW(NativePath(path).c_str())) {
    const DWORD error = GetLastError();
    if (IsMissingError(error)) return true;
    ec = std::error_code(static_cast<int>(error), std::system_category());
    return false;
  }
  return true;
}

std::vector<std::string> FolderEntries(const fs::path& folder,
                                       std::error_code& ec) {
  ec.clear();
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  const std::wstring pattern = NativePath(folder) + L"\\*";
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    ec = LastError();
    return names;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(fs::path(name).string());
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : mutex_(std::exchange(other.mutex_, nullptr)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    Release();
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

FolderLock::~FolderLock() { Release(); }

bool FolderLock::Acquire(const fs::path& folder, bool shared,
                         std::error_code& ec) {
  (void)shared;  // a mutex is only ever held by one
  ec.clear();
  Release();
  // One name per folder: its absolute path, upper case, as an FNV-1a hash.
  std::wstring path = NativePath(folder);
  CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : path) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  }
  wchar_t name[64];
  swprintf(name, 64, L"Local\\tesk-folder-%016llx",
           static_cast<unsigned long long>(hash));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) {
    ec = LastError();
    return false;
  }
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ec = LastError();
    CloseHandle(mutex);
    return false;
  }
  mutex_ = mutex;
  return true;
}

void FolderLock::Release() {
  if (mutex_ == nullptr) return;
  ReleaseMutex(AsHandle(mutex_));
  CloseHandle(AsHandle(mutex_));
  mutex_ = nullptr;
}

bool FolderLock::SyncFolder(std::error_code& ec) {
  ec.clear();
  return true;
}

bool FolderLock::SyncFileSystem(std::error_code& ec) {
  ec.clear();
  return true;
}

bool SyncsFilesOneByOne() { return true; }

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

bool ProcessIsAlive(int pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool alive =
      !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
}

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

#else  // POSIX

namespace {

std::error_code LastError() {
  return std::error_code(errno, std::generic_category());
}

bool IsMissingError(int error) { return error == ENOENT || error == ENOTDIR; }

// Opens `path` with `flags`, never blocking on a FIFO or a device, and keeps
// it only if it is a regular file.
OpenResult OpenRegular(const fs::path& path, int flags, int& fd,
                       std::error_code& ec, std::uint64_t* size = nullptr,
                       FileIdentity* identity = nullptr) {
  ec.clear();
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (IsMissingError(errno)) return OpenResult::kMissing;
    ec = LastError();
    return OpenResult::kFailed;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    fd = -1;
    return OpenResult::kNotRegular;
  }
  if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
  if (identity != nullptr) {
    identity->device = static_cast<std::uint64_t>(st.st_dev);
    identity->number = static_cast<std::uint64_t>(st.st_ino);
  }
  return OpenResult::kOk;
}

}  // namespace

PathKind KindOf(const fs::path& path, std::error_code& ec) {
  ec.clear();
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (!IsMissingError(errno)) ec = LastError();
    return PathKind::kMissing;
  }
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return PathKind::kOther;
}

PathStatus StatusOf(const fs::path& path, std::error_code& ec) {
  ec.clear();
  PathStatus status;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (!IsMissingError(errno)) ec = LastError();
    return status;
  }
  static const uid_t user = ::geteuid();
  status.owned_by_user = st.st_uid == user;
  if (S_ISREG(st.st_mode)) {
    status.kind = PathKind::kRegular;
    status.permissions = static_cast<std::uint32_t>(st.st_mode & 0777);
    status.read_only = ::access(path.c_str(), W_OK) != 0;
  } else if (S_ISDIR(st.st_mode)) {
    status.kind = PathKind::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    status.kind = PathKind::kLink;
  } else {
    status.kind = PathKind::kOther;
  }
  return status;
}

NativeFile::NativeFile(NativeFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

NativeFile& NativeFile::operator=(NativeFile&& other) noexcept {
  if (this != &other) {
    std::error_code ignored;
    Close(ignored);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NativeFile::~NativeFile() {
  std::error_code ignored;
  Close(ignored);
}

bool NativeFile::is_open() const { return fd_ >= 0; }

OpenResult NativeFile::OpenForReading(const fs::path& path, NativeFile& file,
                                      std::error_code& ec, std::uint64_t* size,
                                      FileIdentity* identity) {
  file = NativeFile();
  return OpenRegular(path, O_RDONLY, file.fd_, ec, size, identity);
}

OpenResult NativeFile::OpenForUpdate(const fs::path& path, NativeFile& file,
                                     std::error_code& ec) {
  file = NativeFile();
  return OpenRegular(path, O_RDWR | O_NOFOLLOW, file.fd_, ec);
}

bool NativeFile::CreateNew(const fs::path& path,
                           std::optional<std::uint32_t> permissions,
                           NativeFile& file, std::error_code& ec) {
  ec.clear();
  file = NativeFile();
  // The umask may narrow the bits at creation, never widen them; fchmod
  // then makes them exact before a byte is written.
  const mode_t mode =
      static_cast<mode_t>(permissions ? *permissions & 0777 : 0666);
  int fd;
  do {
    fd = ::open(path.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    ec = LastError();
    return false;
  }
  if (permissions && ::fchmod(fd, mode) != 0) {
    ec = LastError();
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  file.fd_ = fd;
  return true;
}

bool NativeFile::Measure(std::uint64_t* size, FileIdentity* identity,
                         std::error_code& ec) const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    ec = LastError();
    return false;
  }
  if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
  if (identity != nullptr) {
    identity->device = static_cast<std::uint64_t>(st.st_dev);
    identity->number = static_cast<std::uint64_t>(st.st_ino);
  }
  return true;
}

bool NativeFile::OwnedByThisUser() const {
  struct stat st;
  return ::fstat(fd_, &st) == 0 && st.st_uid == ::geteuid();
}

std::size_t NativeFile::Read(std::uint8_t* data, std::size_t n,
                             std::error_code& ec) {
  for (;;) {
    const ssize_t got = ::read(fd_, data, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) {
      ec = LastError();
      return 0;
    }
  }
}

bool NativeFile::WriteAll(const std::uint8_t* data, std::size_t n,
                          std::error_code& ec) {
  while (n > 0) {
    const ssize_t put = ::write(fd_, data, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      ec = LastError();
      return false;
    }
    if (put == 0) {
      ec = std::make_error_code(std::errc::no_space_on_device);
      return false;
    }
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

bool NativeFile::Seek(std::uint64_t offset, std::error_code& ec) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::Truncate(std::uint64_t size, std::error_code& ec) {
  int result;
  do {
    result = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::Sync(std::error_code& ec) {
  int result;
  do {
    result = ::fsync(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::DropSetIdBits(std::error_code& ec) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    ec = LastError();
    return false;
  }
  if ((st.st_mode & (S_ISUID | S_ISGID)) == 0) return true;
  if (::fchmod(fd_, st.st_mode & 0777) != 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool NativeFile::Close(std::error_code& ec) {
  if (fd_ < 0) return true;
  // After close the descriptor is gone whatever it returns, even EINTR.
  const bool closed = ::close(fd_) == 0 || errno == EINTR;
  if (!closed) ec = LastError();
  fd_ = -1;
  return closed;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::error_code& ec) {
  ec.clear();
  if (::rename(from.c_str(), to.c_str()) != 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool HardLink(const fs::path& existing, const fs::path& link,
              std::error_code& ec) {
  ec.clear();
  if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, link.c_str(), 0) != 0) {
    ec = LastError();
    return false;
  }
  return true;
}

bool RemoveFile(const fs::path& path, std::error_code& ec) {
  ec.clear();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    ec = LastError();
    return false;
  }
  return true;
}

std::vector<std::string> FolderEntries(const fs::path& folder,
                                       std::error_code& ec) {
  ec.clear();
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    ec = LastError();
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() { Release(); }

bool FolderLock::Acquire(const fs::path& folder, bool shared,
                         std::error_code& ec) {
  ec.clear();
  Release();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ec = LastError();
    return false;
  }
  int result;
  do {
    result = ::flock(fd, shared ? LOCK_SH : LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ec = LastError();
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void FolderLock::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // releases the lock
  fd_ = -1;
}

bool FolderLock::SyncFolder(std::error_code& ec) {
  ec.clear();
  if (::fsync(fd_) != 0 && errno != EINVAL) {
    ec = LastError();
    return false;
  }
  return true;
}

bool FolderLock::SyncFileSystem(std::error_code& ec) {
  ec.clear();
#if defined(__linux__)
  if (::syncfs(fd_) != 0) {
    ec = LastError();
    return false;
  }
#endif
  return true;
}

bool SyncsFilesOneByOne() {
#if defined(__linux__)
  return false;
#else
  return true;
#endif
}

int ProcessId() {
  static const int pid = static_cast<int>(::getpid());
  return pid;
}

bool ProcessIsAlive(int pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

void UseBinaryStandardStreams() {}

#endif

}  // namespace common
