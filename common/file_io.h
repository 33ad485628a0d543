// The file operations that differ between platforms, kept in one place: open
// descriptors (POSIX) or handles (Windows), what lies at a path, renames,
// hard links, folder locks and syncs. Everything else in the programs goes
// through these, so no other file needs to know which platform it runs on.
//
// On Windows every path is opened through its absolute extended form
// (\\?\C:\...), so device names such as aux or con and paths longer than 260
// characters are ordinary file names there too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace common {

#if defined(_WIN32)
// The absolute extended form of a path (\\?\C:\dir\name or \\?\UNC\...).
std::wstring NativePath(const std::filesystem::path& path);
#endif

// What lies at a path, seen without following a symbolic link.
enum class PathKind { kMissing, kRegular, kDirectory, kLink, kOther };

struct PathStatus {
  PathKind kind = PathKind::kMissing;
  // The permission bits (0777) of a regular file; Windows has only the
  // write bits, which follow its read-only attribute.
  std::uint32_t permissions = 0;
  // The user may not write the file (its permission bits or read-only
  // attribute forbid it).
  bool read_only = false;
  // The file or link belongs to the user running the program.
  bool owned_by_user = false;
};

// Returns the status of `path`, or sets `ec` when it cannot be looked at
// (a missing path is not an error).
PathStatus StatusOf(const std::filesystem::path& path, std::error_code& ec);
// Only what kind of thing is at `path`, which costs one look less.
PathKind KindOf(const std::filesystem::path& path, std::error_code& ec);

// Which file an open descriptor refers to, to tell two names of one file.
// All zero where the system does not tell (Windows, for a path).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  bool operator==(const FileIdentity&) const = default;
  auto operator<=>(const FileIdentity&) const = default;
  bool known() const { return device != 0 || number != 0; }
};

// What the open descriptor of a file tells about it.
struct FileFacts {
  std::uint64_t size = 0;
  FileIdentity identity;
  std::uint32_t permissions = 0666;  // the 0777 bits
  std::uint64_t links = 1;
  bool owned_by_user = true;
};

enum class OpenResult {
  kOk,
  kMissing,     // nothing at the path, or a folder on the way is missing
  kDenied,      // the user may not read it
  kNotRegular,  // a folder, FIFO, device or socket
  kFailed,      // anything else: the system's reason is in `ec`
};

// The permission bits the system gives a new file (0666 less the umask).
std::uint32_t DefaultPermissions();

// The identity of what is at `path` (not following a link), or an unknown
// one where it is missing or the system does not tell.
FileIdentity IdentityAt(const std::filesystem::path& path);

// An open file, closed when it goes away. Moves, never copies.
class NativeFile {
 public:
  NativeFile() = default;
  NativeFile(NativeFile&& other) noexcept;
  NativeFile& operator=(NativeFile&& other) noexcept;
  NativeFile(const NativeFile&) = delete;
  NativeFile& operator=(const NativeFile&) = delete;
  ~NativeFile();

  // Opens an existing file for reading. Never blocks: anything that is not
  // a regular file (a FIFO, a device, a folder) gives kNotRegular. A
  // symbolic link is followed only if it belongs to the user or to the
  // owner of its folder (as the kernel protects sticky folders); another
  // user's link gives kDenied. What the open descriptor tells goes to
  // *facts where given.
  static OpenResult OpenForReading(const std::filesystem::path& path,
                                   NativeFile& file, std::error_code& ec,
                                   FileFacts* facts = nullptr);
  // Opens an existing regular file for reading and writing. A symbolic link
  // at `path` is not followed (kFailed, with the system's reason).
  static OpenResult OpenForUpdate(const std::filesystem::path& path,
                                  NativeFile& file, std::error_code& ec,
                                  FileFacts* facts = nullptr);
  // Creates a new file, failing if anything at all is at `path`, a link
  // included. It has exactly the permission bits `permissions` (never a
  // set-id bit) from the start, or without them those the system gives a
  // new file.
  static bool CreateNew(const std::filesystem::path& path,
                        std::optional<std::uint32_t> permissions,
                        NativeFile& file, std::error_code& ec);

  bool is_open() const;

  // The size and identity of the open file, from the descriptor itself.
  bool Measure(std::uint64_t* size, FileIdentity* identity,
               std::error_code& ec) const;
  // True when the open file belongs to the user running the program, has
  // no other name and nobody else may write it: then what it holds came
  // from this user.
  bool PrivateToThisUser() const;
  // Reads up to n bytes; returns how many (0 at the end, or with `ec` set).
  std::size_t Read(std::uint8_t* data, std::size_t n, std::error_code& ec);
  bool WriteAll(const std::uint8_t* data, std::size_t n, std::error_code& ec);
  bool Seek(std::uint64_t offset, std::error_code& ec);
  bool Truncate(std::uint64_t size, std::error_code& ec);
  // Puts what was written on the disk itself.
  bool Sync(std::error_code& ec);
  // Takes set-uid and set-gid away, should the file carry them.
  bool DropSetIdBits(std::error_code& ec);
  bool Close(std::error_code& ec);

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Renames `from` over `to` in one step, replacing whatever file or link is
// at `to` (a link is replaced, not followed).
bool RenameOver(const std::filesystem::path& from,
                const std::filesystem::path& to, std::error_code& ec);
// Makes `link` a second name of the file `existing` (not following a link).
bool HardLink(const std::filesystem::path& existing,
              const std::filesystem::path& link, std::error_code& ec);
// Removes a file or link; a missing one counts as removed.
bool RemoveFile(const std::filesystem::path& path, std::error_code& ec);
// The names in a folder ("" for the current one), without . and ..
std::vector<std::string> FolderEntries(const std::filesystem::path& folder,
                                       std::error_code& ec);

// The folder of a file name: its parent, or "." for a bare name.
std::filesystem::path FolderOf(const std::filesystem::path& path);

// An advisory lock on a folder, held until it goes away. Runs that write in
// one folder take it exclusively around their commits, readers of files
// that belong together take it shared. It leaves nothing behind: on POSIX
// it is a lock on the folder itself, on Windows a named mutex.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

  // Opens the folder (without locking it yet). Returns false when it
  // cannot be opened.
  bool Open(const std::filesystem::path& folder, std::error_code& ec);
  // Which folder was opened, however it was named; unknown on Windows.
  FileIdentity identity() const { return identity_; }
  // Waits for the lock of the opened folder.
  bool Lock(bool shared, std::error_code& ec);
  // Open() and Lock() at once.
  bool Acquire(const std::filesystem::path& folder, bool shared,
               std::error_code& ec) {
    return Open(folder, ec) && Lock(shared, ec);
  }
  // Puts the folder's entries (new names, renames, removals) on the disk.
  bool SyncFolder(std::error_code& ec);
  // Puts everything written to files on the folder's file system on the
  // disk, in one step where the system can (Linux); elsewhere files are
  // put on the disk as they are finished, and this does nothing.
  bool SyncFileSystem(std::error_code& ec);

 private:
  void Release();
  FileIdentity identity_;
#if defined(_WIN32)
  std::wstring name_;
  void* mutex_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// True where finished files must be synced one by one (no file-system sync).
bool SyncsFilesOneByOne();

int ProcessId();
// False only when no process with this id runs.
bool ProcessIsAlive(int pid);

// Makes standard output and error binary, so that messages are printed
// byte for byte (no CR before LF on Windows).
void UseBinaryStandardStreams();

}  // namespace common
