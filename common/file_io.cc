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
                                      std::error_code& ec, FileFacts* facts) {
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
    return error == ERROR_ACCESS_DENIED ? OpenResult::kDenied
                                        : OpenResult::kFailed;
  }
  file = NativeFile();
  file.handle_ = handle;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    file.Close(ec);
    return OpenResult::kNotRegular;
  }
  if (facts != nullptr && !file.Measure(&facts->size, &facts->identity, ec)) {
    file.Close(ec);
    return OpenResult::kFailed;
  }
  return OpenResult::kOk;
}

OpenResult NativeFile::OpenForUpdate(const fs::path& path, NativeFile& file,
                                     std::error_code& ec, FileFacts* facts) {
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
  if (facts != nullptr) {
    facts->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    facts->identity = {
        info.dwVolumeSerialNumber,
        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    facts->links = info.nNumberOfLinks;
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

bool NativeFile::PrivateToThisUser() const { return true; }

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
    : identity_(other.identity_),
      name_(std::move(other.name_)),
      mutex_(std::exchange(other.mutex_, nullptr)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    Release();
    identity_ = other.identity_;
    name_ = std::move(other.name_);
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

FolderLock::~FolderLock() { Release(); }

bool FolderLock::Open(const fs::path& folder, std::error_code& ec) {
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
  name_ = name;
  return true;
}

bool FolderLock::Lock(bool shared, std::error_code& ec) {
  (void)shared;  // a mutex is only ever held by one
  ec.clear();
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name_.c_str());
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

std::uint32_t DefaultPermissions() { return 0666; }

FileIdentity IdentityAt(const fs::path&) { return {}; }

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

uid_t User() {
  static const uid_t user = ::geteuid();
  return user;
}

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev),
          static_cast<std::uint64_t>(st.st_ino)};
}

void FillFacts(const struct stat& st, FileFacts* facts) {
  if (facts == nullptr) return;
  facts->size = static_cast<std::uint64_t>(st.st_size);
  facts->identity = IdentityOf(st);
  facts->permissions = static_cast<std::uint32_t>(st.st_mode & 0777);
  facts->links = static_cast<std::uint64_t>(st.st_nlink);
  facts->owned_by_user = st.st_uid == User();
}

OpenResult FailedOpen(std::error_code& ec) {
  if (IsMissingError(errno)) return OpenResult::kMissing;
  ec = LastError();
  return errno == EACCES || errno == EPERM ? OpenResult::kDenied
                                           : OpenResult::kFailed;
}

// True when the symbolic link at `path` may be followed: it belongs to the
// user, or to the owner of the folder it is in.
bool MayFollow(const fs::path& path) {
  struct stat link;
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
    return false;
  }
  if (link.st_uid == User()) return true;
  struct stat folder;
  return ::stat(FolderOf(path).c_str(), &folder) == 0 &&
         folder.st_uid == link.st_uid;
}

int OpenOnce(const fs::path& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens `path` with `flags`, never blocking on a FIFO or a device, and keeps
// it only if it is a regular file. A link is followed where MayFollow()
// says so, or never with `never_follow`.
OpenResult OpenRegular(const fs::path& path, int flags, bool never_follow,
                       int& fd, std::error_code& ec, FileFacts* facts) {
  ec.clear();
  fd = OpenOnce(path, flags | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP && !never_follow) {
    if (!MayFollow(path)) {
      ec = std::make_error_code(std::errc::operation_not_permitted);
      return OpenResult::kDenied;
    }
    fd = OpenOnce(path, flags);
  }
  if (fd < 0) return FailedOpen(ec);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    fd = -1;
    return OpenResult::kNotRegular;
  }
  FillFacts(st, facts);
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
  status.owned_by_user = st.st_uid == User();
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
                                      std::error_code& ec, FileFacts* facts) {
  file = NativeFile();
  return OpenRegular(path, O_RDONLY, false, file.fd_, ec, facts);
}

OpenResult NativeFile::OpenForUpdate(const fs::path& path, NativeFile& file,
                                     std::error_code& ec, FileFacts* facts) {
  file = NativeFile();
  return OpenRegular(path, O_RDWR, true, file.fd_, ec, facts);
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

bool NativeFile::PrivateToThisUser() const {
  struct stat st;
  return ::fstat(fd_, &st) == 0 && st.st_uid == User() && st.st_nlink == 1 &&
         (st.st_mode & 022) == 0;
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
    : identity_(other.identity_), fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    Release();
    identity_ = other.identity_;
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() { Release(); }

bool FolderLock::Open(const fs::path& folder, std::error_code& ec) {
  ec.clear();
  Release();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ec = LastError();
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0) identity_ = IdentityOf(st);
  fd_ = fd;
  return true;
}

bool FolderLock::Lock(bool shared, std::error_code& ec) {
  int result;
  do {
    result = ::flock(fd_, shared ? LOCK_SH : LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ec = LastError();
    return false;
  }
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

std::uint32_t DefaultPermissions() {
  static const std::uint32_t permissions = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<std::uint32_t>(0666 & ~mask);
  }();
  return permissions;
}

FileIdentity IdentityAt(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  return IdentityOf(st);
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
