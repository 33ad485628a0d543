#include "common/commit.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "common/bytes.h"
#include "common/interrupts.h"

namespace common {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[] = "TESKJRN1";
constexpr std::size_t kMagicSize = 8;
// Behind the checksum: one mark per group whose rollback began, the byte
// kRollbackMark and the group's number.
constexpr std::uint8_t kRollbackMark = 'R';
constexpr std::size_t kRollbackMarkSize = 5;

enum class EntryKind : std::uint8_t { kReplace = 1, kAppend = 2 };

struct JournalEntry {
  EntryKind kind = EntryKind::kReplace;
  std::uint32_t group = 0;
  bool flag = false;  // kReplace: the target had an old file
  std::uint64_t old_length = 0;
  // The old file (the target before, and so its second name aside) and the
  // new one (the temporary), so that a repair touches these files only.
  FileIdentity old_identity;
  FileIdentity new_identity;
  std::string target;
  std::string temporary;
  std::string aside;  // empty when there is no old file
};

struct Journal {
  std::vector<JournalEntry> entries;
  std::vector<std::uint32_t> rolled_back;
};

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t n) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < n; ++i)
    hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

void AppendLe64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void AppendName(std::vector<std::uint8_t>& out, const std::string& name) {
  AppendLe16(out, static_cast<std::uint16_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
}

// A file's name within its folder, as the bytes the journal keeps.
std::string NameBytes(const fs::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

fs::path InFolder(const fs::path& folder, const std::string& name) {
  return folder / fs::path(std::u8string(name.begin(), name.end()));
}

std::vector<std::uint8_t> EncodeJournal(
    const std::vector<JournalEntry>& entries) {
  std::vector<std::uint8_t> out(kMagic, kMagic + kMagicSize);
  const std::uint32_t count = static_cast<std::uint32_t>(entries.size());
  out.resize(out.size() + 4);
  StoreLe32(out.data() + kMagicSize, count);
  for (const JournalEntry& e : entries) {
    out.push_back(static_cast<std::uint8_t>(e.kind));
    out.resize(out.size() + 4);
    StoreLe32(out.data() + out.size() - 4, e.group);
    out.push_back(e.flag ? 1 : 0);
    AppendLe64(out, e.old_length);
    for (const FileIdentity& id : {e.old_identity, e.new_identity}) {
      AppendLe64(out, id.device);
      AppendLe64(out, id.number);
    }
    AppendName(out, e.target);
    AppendName(out, e.temporary);
    AppendName(out, e.aside);
  }
  AppendLe64(out, Fnv1a(out.data(), out.size()));
  return out;
}

// A name the journal may act on: one file in the folder itself.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool EndsWith(const std::string& text, const char* ending) {
  const std::size_t n = std::char_traits<char>::length(ending);
  return text.size() >= n && text.compare(text.size() - n, n, ending) == 0;
}

// Reads a journal back; nullopt when it is not whole or names anything but
// plain files of the folder.
std::optional<Journal> DecodeJournal(const std::vector<std::uint8_t>& bytes) {
  std::size_t p = 0;
  const auto have = [&](std::size_t n) { return bytes.size() - p >= n; };
  if (!have(kMagicSize + 4) ||
      !std::equal(kMagic, kMagic + kMagicSize, bytes.begin())) {
    return std::nullopt;
  }
  const std::uint32_t count = ReadLe32(bytes.data() + kMagicSize);
  p = kMagicSize + 4;
  Journal journal;
  const auto read_name = [&](std::string& name) {
    if (!have(2)) return false;
    const std::size_t n = ReadLe16(bytes.data() + p);
    p += 2;
    if (!have(n)) return false;
    name.assign(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                bytes.begin() + static_cast<std::ptrdiff_t>(p + n));
    p += n;
    return true;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    JournalEntry e;
    if (!have(46)) return std::nullopt;
    e.kind = static_cast<EntryKind>(bytes[p]);
    e.group = ReadLe32(bytes.data() + p + 1);
    e.flag = bytes[p + 5] != 0;
    e.old_length = ReadLe64(bytes.data() + p + 6);
    e.old_identity = {ReadLe64(bytes.data() + p + 14),
                      ReadLe64(bytes.data() + p + 22)};
    e.new_identity = {ReadLe64(bytes.data() + p + 30),
                      ReadLe64(bytes.data() + p + 38)};
    p += 46;
    if (!read_name(e.target) || !read_name(e.temporary) ||
        !read_name(e.aside)) {
      return std::nullopt;
    }
    const bool sound =
        PlainName(e.target) &&
        (e.kind == EntryKind::kAppend ||
         (e.kind == EntryKind::kReplace && PlainName(e.temporary) &&
          EndsWith(e.temporary, kTempSuffix) &&
          (e.aside.empty()
               ? !e.flag
               : PlainName(e.aside) && EndsWith(e.aside, kAsideSuffix))));
    if (!sound) return std::nullopt;
    journal.entries.push_back(std::move(e));
  }
  if (!have(8) || ReadLe64(bytes.data() + p) != Fnv1a(bytes.data(), p)) {
    return std::nullopt;
  }
  p += 8;
  // Rollback marks; a mark cut short was never on the disk.
  while (have(kRollbackMarkSize) && bytes[p] == kRollbackMark) {
    journal.rolled_back.push_back(ReadLe32(bytes.data() + p + 1));
    p += kRollbackMarkSize;
  }
  return journal;
}

// A path as one key, absolute and normal, whatever its spelling.
std::string PathKey(const fs::path& current, const fs::path& path) {
  return (path.is_absolute() ? path : current / path)
      .lexically_normal()
      .string();
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return KindOf(path, ec) != PathKind::kMissing || ec;
}

bool Rename(const fs::path& from, const fs::path& to, Faults* faults,
            std::error_code& ec) {
  if (faults != nullptr && faults->Fails(FaultPoint::kRename, ec)) return false;
  return RenameOver(from, to, ec);
}

bool SyncFolder(FolderLock& lock, Faults* faults, std::error_code& ec) {
  if (faults != nullptr && faults->Fails(FaultPoint::kSync, ec)) return false;
  return lock.SyncFolder(ec);
}

// True when the file at `path` is the one `identity` names (where the
// system tells identities; elsewhere, when a regular file is there).
bool IsFile(const fs::path& path, const FileIdentity& identity) {
  std::error_code ec;
  if (KindOf(path, ec) != PathKind::kRegular) return false;
  return !identity.known() || IdentityAt(path) == identity;
}

// Puts a replace group of a killed run back in order: forward when every
// temporary went in and no rollback began, else back to the old files. It
// only ever moves or removes the files the journal names by identity, so a
// file planted at one of the names is left alone.
bool RepairGroup(const fs::path& folder,
                 const std::vector<const JournalEntry*>& group,
                 bool rolled_back) {
  bool any_temporary = false;
  for (const JournalEntry* e : group) {
    any_temporary = any_temporary ||
                    IsFile(InFolder(folder, e->temporary), e->new_identity);
  }
  bool ok = true;
  std::error_code ec;
  for (const JournalEntry* e : group) {
    const fs::path target = InFolder(folder, e->target);
    const fs::path temporary = InFolder(folder, e->temporary);
    const fs::path aside =
        e->aside.empty() ? fs::path() : InFolder(folder, e->aside);
    const bool aside_there = !aside.empty() && IsFile(aside, e->old_identity);
    if (!any_temporary && !rolled_back) {
      if (aside_there) ok = RemoveFile(aside, ec) && ok;
      continue;
    }
    if (IsFile(temporary, e->new_identity)) {
      // The new file never went in; the old one may be only aside.
      if (aside_there) {
        ok =
            (IsFile(target, e->old_identity) ? RemoveFile(aside, ec)
                                             : RenameOver(aside, target, ec)) &&
            ok;
      }
      ok = RemoveFile(temporary, ec) && ok;
    } else if (e->flag) {
      if (aside_there) ok = RenameOver(aside, target, ec) && ok;
    } else if (IsFile(target, e->new_identity)) {
      ok = RemoveFile(target, ec) && ok;
    }
  }
  return ok;
}

// Cuts an append of a killed run back to its old length, if the file at
// the name is still the one appended to, and has no other name.
bool RepairAppend(const fs::path& folder, const JournalEntry& e) {
  const fs::path target = InFolder(folder, e.target);
  NativeFile file;
  std::error_code ec;
  FileFacts facts;
  if (NativeFile::OpenForUpdate(target, file, ec, &facts) != OpenResult::kOk ||
      facts.identity != e.old_identity || facts.links != 1 ||
      facts.size <= e.old_length) {
    return true;  // nothing of that append is left to take back
  }
  return file.Truncate(e.old_length, ec) && file.Sync(ec);
}

// Repairs what a killed run's commit left in the folder. Returns false when
// a journal is there that cannot be acted on or repaired: one that is not
// this user's alone (another owner, another name, or writable by others)
// is never acted on.
bool RecoverFolder(const fs::path& folder, FolderLock& lock,
                   std::error_code& ec) {
  const fs::path path = folder / kJournalName;
  NativeFile file;
  FileFacts facts;
  switch (NativeFile::OpenForUpdate(path, file, ec, &facts)) {
    case OpenResult::kOk:
      break;
    case OpenResult::kMissing:
      return true;
    case OpenResult::kDenied:
    case OpenResult::kNotRegular:
    case OpenResult::kFailed:
      if (!ec) ec = std::make_error_code(std::errc::file_exists);
      return false;
  }
  if (!file.PrivateToThisUser()) {
    ec = std::make_error_code(std::errc::permission_denied);
    return false;
  }
  std::vector<std::uint8_t> bytes(
      static_cast<std::size_t>(std::min<std::uint64_t>(facts.size, 1u << 26)));
  std::size_t have = 0;
  while (have < bytes.size()) {
    const std::size_t got =
        file.Read(bytes.data() + have, bytes.size() - have, ec);
    if (got == 0) break;
    have += got;
  }
  bytes.resize(have);
  file.Close(ec);
  ec.clear();

  bool ok = true;
  if (const std::optional<Journal> journal = DecodeJournal(bytes)) {
    std::map<std::uint32_t, std::vector<const JournalEntry*>> groups;
    for (const JournalEntry& e : journal->entries) {
      if (e.kind == EntryKind::kAppend) {
        ok = RepairAppend(folder, e) && ok;
      } else {
        groups[e.group].push_back(&e);
      }
    }
    for (const auto& [group, entries] : groups) {
      const bool rolled_back =
          std::find(journal->rolled_back.begin(), journal->rolled_back.end(),
                    group) != journal->rolled_back.end();
      ok = RepairGroup(folder, entries, rolled_back) && ok;
    }
  }
  if (!ok) {
    ec = std::make_error_code(std::errc::io_error);
    return false;
  }
  return lock.SyncFolder(ec) && RemoveFile(path, ec) && lock.SyncFolder(ec);
}

// Removes temporaries and old files of runs that no longer exist.
void RemoveLeftovers(const fs::path& folder) {
  std::error_code ec;
  const int self = ProcessId();
  for (const std::string& name : FolderEntries(folder, ec)) {
    int pid = ProcessIdInName(name, kTempSuffix);
    if (pid == 0) pid = ProcessIdInName(name, kAsideSuffix);
    if (pid == 0 ||
        (pid == self ? IsOwnTemporary(name) : ProcessIsAlive(pid))) {
      continue;
    }
    const fs::path path = folder / name;
    const PathStatus status = StatusOf(path, ec);
    if (status.kind == PathKind::kRegular && status.owned_by_user) {
      RemoveFile(path, ec);
    }
  }
}

// A folder's lock and journal for one commit.
struct FolderWork {
  fs::path folder;
  FolderLock lock;
  NativeFile journal;
  bool usable = true;
  bool rolled_back = false;
  std::error_code ec;
};

// Repairs the locked folder and removes what dead runs left there.
bool RepairFolder(FolderWork& work) {
  if (!RecoverFolder(work.folder, work.lock, work.ec)) return false;
  RemoveLeftovers(work.folder);
  return true;
}

// Writes the journal. It must be on the disk before the first rename: with
// `sync_now` it is synced here, else the caller's one sync of the whole file
// system takes it along with the temporaries.
bool WriteJournal(FolderWork& work, const std::vector<JournalEntry>& entries,
                  bool sync_now, Faults* faults) {
  const fs::path path = work.folder / kJournalName;
  std::error_code& ec = work.ec;
  if (faults != nullptr && faults->Fails(FaultPoint::kCreate, ec)) return false;
  if (!NativeFile::CreateNew(path, 0600, work.journal, ec)) return false;
  const std::vector<std::uint8_t> bytes = EncodeJournal(entries);
  const bool ok =
      work.journal.WriteAll(bytes.data(), bytes.size(), ec) &&
      (!sync_now ||
       (!(faults != nullptr && faults->Fails(FaultPoint::kSync, ec)) &&
        work.journal.Sync(ec) && SyncFolder(work.lock, faults, ec)));
  if (!ok) {
    std::error_code ignored;
    work.journal.Close(ignored);
    RemoveFile(path, ignored);
  }
  return ok;
}

bool RemoveJournal(FolderWork& work) {
  std::error_code ec;
  work.journal.Close(ec);
  return RemoveFile(work.folder / kJournalName, ec);
}

// Marks a group's rollback in the journal before it begins, so that a kill
// during the rollback is finished backwards, not forwards.
void MarkRollback(FolderWork& work, std::uint32_t group) {
  if (!work.journal.is_open()) return;
  std::uint8_t mark[kRollbackMarkSize] = {kRollbackMark};
  StoreLe32(mark + 1, group);
  std::error_code ec;
  std::uint64_t size = 0;
  if (work.journal.Measure(&size, nullptr, ec) && work.journal.Seek(size, ec) &&
      work.journal.WriteAll(mark, sizeof mark, ec)) {
    work.journal.Sync(ec);
  }
}

// One CommitAll(): the stages in order, with what each file went through.
class GroupCommit {
 public:
  using Outcome = Commit::Outcome;

  // `files` stand in group order; group_of[i] is the group of files[i].
  // With `last`, interrupts wait until the program ends once the folders
  // are locked (common/interrupts.h).
  GroupCommit(const std::vector<FinishedFile>& files,
              const std::vector<std::size_t>& group_of, std::size_t groups,
              const fs::path& current, bool last, Faults* faults)
      : files_(files),
        outcomes_(groups),
        last_(last),
        faults_(faults),
        state_(files.size()) {
    std::map<std::string, FolderWork*> by_name;
    std::vector<std::size_t> group_size(groups, 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const fs::path folder = FolderOf(files[i].target);
      FolderWork*& work = by_name[PathKey(current, folder)];
      if (work == nullptr) {
        owned_.push_back(std::make_unique<FolderWork>());
        work = owned_.back().get();
        work->folder = folder;
      }
      state_[i].folder = work;
      state_[i].group = group_of[i];
      state_[i].index_in_group = group_size[group_of[i]]++;
    }
  }

  // Commits every group it can; returns an Outcome per group.
  std::vector<Outcome> Run() {
    if (files_.empty()) return outcomes_;
    // An interrupt while waiting for a lock ends the run at once.
    OpenFolders();
    LockFolders();
    InterruptsHeld held;
    if (last_) HoldInterruptsUntilExit();
    if (held.Pending()) {
      // The interrupt takes effect as soon as it is let through: nothing of
      // this commit may happen before.
      for (Outcome& outcome : outcomes_) {
        outcome = {false, 0, std::make_error_code(std::errc::interrupted)};
      }
      CleanUp();
      return outcomes_;
    }
    RepairFolders();
    WriteJournals();
    SyncTemporaries();
    ReplaceGroups();
    SyncFolders(held);
    CleanUp();
    return outcomes_;
  }

 private:
  enum class Aside { kNone, kLinked, kRenamed };
  struct FileState {
    FolderWork* folder = nullptr;
    std::size_t group = 0;
    std::size_t index_in_group = 0;
    JournalEntry entry;
    Aside aside = Aside::kNone;
    bool moved_in = false;
  };

  bool GroupGoesOn(std::size_t i) const {
    return outcomes_[state_[i].group].committed;
  }
  void FailFile(std::size_t i, const std::error_code& ec) {
    Outcome& outcome = outcomes_[state_[i].group];
    if (outcome.committed) outcome = {false, state_[i].index_in_group, ec};
  }
  void FailFolder(FolderWork& work) {
    work.usable = false;
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (state_[i].folder == &work) FailFile(i, work.ec);
    }
  }
  fs::path AsidePath(std::size_t i) const {
    const std::string& name = state_[i].entry.aside;
    return FolderOf(files_[i].target) /
           fs::path(std::u8string(name.begin(), name.end()));
  }

  // Opens each folder, and makes one of the folders that are one however
  // they were named; then puts them in one order for every run (by
  // identity), so that runs never wait for each other in a circle.
  void OpenFolders() {
    std::map<FileIdentity, FolderWork*> by_identity;
    for (const std::unique_ptr<FolderWork>& work : owned_) {
      if (!work->lock.Open(work->folder, work->ec)) {
        FailFolder(*work);
        continue;
      }
      const FileIdentity identity = work->lock.identity();
      FolderWork* same = identity.known() ? by_identity[identity] : nullptr;
      if (same != nullptr) {
        for (FileState& state : state_) {
          if (state.folder == work.get()) state.folder = same;
        }
        continue;
      }
      if (identity.known()) by_identity[identity] = work.get();
      folders_.push_back(work.get());
    }
    std::stable_sort(folders_.begin(), folders_.end(),
                     [](const FolderWork* a, const FolderWork* b) {
                       return a->lock.identity() < b->lock.identity();
                     });
  }

  void LockFolders() {
    for (FolderWork* work : folders_) {
      if (!work->lock.Lock(false, work->ec)) FailFolder(*work);
    }
  }

  // Repairs what a killed run left in each folder.
  void RepairFolders() {
    for (FolderWork* work : folders_) {
      if (work->usable && !RepairFolder(*work)) FailFolder(*work);
    }
  }

  // Every temporary, and the journal, on the disk before anything is
  // renamed.
  void SyncTemporaries() {
    for (FolderWork* work : folders_) {
      if (!work->usable) continue;
      if ((faults_ != nullptr && faults_->Fails(FaultPoint::kSync, work->ec)) ||
          !work->lock.SyncFileSystem(work->ec)) {
        FailFolder(*work);
      }
    }
  }

  // The journal of each folder lists the renames of its groups still going.
  void WriteJournals() {
    for (std::size_t i = 0; i < files_.size(); ++i) {
      JournalEntry& e = state_[i].entry;
      e.kind = EntryKind::kReplace;
      e.group = static_cast<std::uint32_t>(state_[i].group);
      e.target = NameBytes(files_[i].target);
      e.temporary = NameBytes(files_[i].temporary);
      e.flag = Exists(files_[i].target);
      if (e.flag) {
        e.aside = NameBytes(UniqueNameBeside(files_[i].target, kAsideSuffix));
        e.old_identity = IdentityAt(files_[i].target);
      }
      e.new_identity = IdentityAt(files_[i].temporary);
    }
    for (FolderWork* work : folders_) {
      if (!work->usable) continue;
      std::vector<JournalEntry> listed;
      for (std::size_t i = 0; i < files_.size(); ++i) {
        if (state_[i].folder == work && GroupGoesOn(i)) {
          listed.push_back(state_[i].entry);
        }
      }
      if (!listed.empty() &&
          !WriteJournal(*work, listed, SyncsFilesOneByOne(), faults_)) {
        FailFolder(*work);
      }
    }
  }

  // Group by group: old files aside, new ones in; on a failure, back.
  void ReplaceGroups() {
    for (std::size_t start = 0; start < files_.size();) {
      std::size_t end = start;
      while (end < files_.size() && state_[end].group == state_[start].group) {
        ++end;
      }
      bool touched = false;
      for (std::size_t i = start; i < end && GroupGoesOn(i); ++i) {
        touched = true;
        ReplaceFile(i);
      }
      if (touched && !GroupGoesOn(start)) RollBack(state_[start].group);
      start = end;
    }
  }

  void ReplaceFile(std::size_t i) {
    const FinishedFile& file = files_[i];
    FileState& state = state_[i];
    std::error_code ec;
    if (state.entry.flag) {
      // A second name keeps the target in place for readers meanwhile;
      // where the file system has none, the target is renamed aside.
      if (!(faults_ != nullptr && faults_->Fails(FaultPoint::kLink, ec)) &&
          HardLink(file.target, AsidePath(i), ec)) {
        state.aside = Aside::kLinked;
      } else if (Rename(file.target, AsidePath(i), faults_, ec)) {
        state.aside = Aside::kRenamed;
      } else {
        FailFile(i, ec);
        return;
      }
    }
    if (!Rename(file.temporary, file.target, faults_, ec)) {
      FailFile(i, ec);
      return;
    }
    state.moved_in = true;
  }

  // Puts a group's old files back. A step that fails here leaves the
  // journal, and the next run that commits in the folder finishes it.
  void RollBack(std::size_t group) {
    for (FolderWork* work : folders_) {
      MarkRollback(*work, static_cast<std::uint32_t>(group));
      work->rolled_back = true;
    }
    std::error_code ec;
    for (std::size_t i = files_.size(); i-- > 0;) {
      FileState& state = state_[i];
      if (state.group != group) continue;
      const fs::path& target = files_[i].target;
      if (state.moved_in) {
        if (state.entry.flag) {
          Rename(AsidePath(i), target, faults_, ec);
        } else {
          RemoveFile(target, ec);
        }
      } else if (state.aside == Aside::kLinked) {
        RemoveFile(AsidePath(i), ec);
      } else if (state.aside == Aside::kRenamed) {
        Rename(AsidePath(i), target, faults_, ec);
      }
      state.aside = Aside::kNone;
      state.moved_in = false;
    }
  }

  void RollBackFolder(FolderWork& work) {
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (state_[i].folder != &work || !GroupGoesOn(i)) continue;
      FailFile(i, work.ec);
      RollBack(state_[i].group);
    }
  }

  // The new names on the disk. An interrupt that came meanwhile rolls every
  // group back, so that the run ends with the files as they were.
  void SyncFolders(const InterruptsHeld& held) {
    for (FolderWork* work : folders_) {
      if (work->usable && !SyncFolder(work->lock, faults_, work->ec)) {
        RollBackFolder(*work);
      }
    }
    if (!held.Pending()) return;
    for (FolderWork* work : folders_) {
      if (!work->usable) continue;
      work->ec = std::make_error_code(std::errc::interrupted);
      RollBackFolder(*work);
    }
  }

  // The old files, temporaries left over and journals go.
  void CleanUp() {
    std::error_code ec;
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (state_[i].aside != Aside::kNone && GroupGoesOn(i)) {
        RemoveFile(AsidePath(i), ec);
      }
      if (!state_[i].moved_in) RemoveFile(files_[i].temporary, ec);
    }
    for (FolderWork* work : folders_) {
      if (!work->journal.is_open()) continue;
      // What a rollback put back goes on the disk before the journal goes.
      if (work->rolled_back) work->lock.SyncFolder(ec);
      RemoveJournal(*work);
    }
  }

  const std::vector<FinishedFile>& files_;
  std::vector<Outcome> outcomes_;
  bool last_;
  Faults* faults_;
  std::vector<std::unique_ptr<FolderWork>> owned_;
  std::vector<FolderWork*> folders_;  // one each, in locking order
  std::vector<FileState> state_;
};

}  // namespace

Commit::Commit(Faults* faults) : faults_(faults) {
  std::error_code ec;
  current_ = fs::current_path(ec);
}

Commit::~Commit() { Abandon(pending_); }

void Commit::Abandon(std::vector<Pending>& pending) {
  const bool crashed = faults_ != nullptr && faults_->crashed();
  std::error_code ec;
  for (const Pending& p : pending) {
    // After a kill the files stay, and the run no longer knows them.
    if (!crashed) RemoveFile(p.file.temporary, ec);
    ForgetTemporary(p.file.temporary);
  }
  pending.clear();
}

std::size_t Commit::Add(std::vector<FinishedFile> group) {
  std::error_code ec;
  for (FinishedFile& file : group) {
    std::string key = PathKey(current_, file.target);
    pending_.push_back({std::move(file), groups_, std::move(key)});
  }
  return groups_++;
}

bool Commit::Replaces(const fs::path& target) const {
  std::error_code ec;
  const std::string key = PathKey(current_, target);
  return std::any_of(pending_.begin(), pending_.end(),
                     [&](const Pending& p) { return p.key == key; });
}

std::vector<Commit::Outcome> Commit::CommitAll(bool last) {
  std::vector<Pending> pending = std::move(pending_);
  pending_.clear();
  const std::size_t groups = groups_;
  groups_ = 0;
  // Should the run stop half-way (only a test's simulated kill does), the
  // temporaries are no longer the run's.
  struct Stopped {
    Commit& commit;
    std::vector<Pending>& pending;
    ~Stopped() {
      if (commit.faults_ != nullptr && commit.faults_->crashed()) {
        commit.Abandon(pending);
      }
    }
  } stopped{*this, pending};

  std::vector<FinishedFile> files;
  std::vector<std::size_t> group_of;
  for (const Pending& p : pending) {
    files.push_back(p.file);
    group_of.push_back(p.group);
  }
  std::vector<Outcome> outcomes =
      GroupCommit(files, group_of, groups, current_, last, faults_).Run();
  for (const Pending& p : pending) ForgetTemporary(p.file.temporary);
  pending.clear();
  return outcomes;
}

namespace {

// Writes a missing target whole: a temporary, renamed in. Under the
// folder's lock the name stays free meanwhile, and a kill leaves the target
// missing or complete, with nothing for a journal to do.
AppendResult CreateWhole(FolderWork& work, const fs::path& target,
                         std::span<std::uint8_t> buffer,
                         const std::function<bool(FileWriter&)>& write,
                         const InterruptsHeld& held, Faults* faults,
                         std::uint32_t limit) {
  AppendResult result;
  std::error_code& ec = result.ec;
  const fs::path temp = UniqueNameBeside(target, kTempSuffix);
  NativeFile file;
  TrackTemporary(temp);
  // However this ends, the temporary is no longer the run's: renamed in,
  // removed, or (after a simulated kill) left for the next run.
  struct Forget {
    const fs::path& temp;
    ~Forget() { ForgetTemporary(temp); }
  } forget{temp};
  if ((faults != nullptr && faults->Fails(FaultPoint::kCreate, ec)) ||
      !NativeFile::CreateNew(temp, DefaultPermissions() & limit, file, ec)) {
    result.outcome = AppendOutcome::kCannotOpen;
    return result;
  }
  FileWriter writer(buffer, faults);
  writer.Attach(&file);
  const bool source_ok = write(writer);
  bool written = source_ok && writer.Flush(ec) &&
                 !(faults != nullptr && faults->Fails(FaultPoint::kSync, ec)) &&
                 file.Sync(ec) && file.Close(ec);
  if (written && held.Pending()) {
    ec = std::make_error_code(std::errc::interrupted);
    written = false;
  }
  bool renamed = written && Rename(temp, target, faults, ec);
  written = renamed && SyncFolder(work.lock, faults, ec);
  std::error_code ignored;
  if (!written) {
    file.Close(ignored);
    RemoveFile(renamed ? target : temp, ignored);
    result.outcome =
        source_ok ? AppendOutcome::kWriteFailed : AppendOutcome::kSourceFailed;
  }
  return result;
}

}  // namespace

AppendResult AppendInPlace(const fs::path& target,
                           std::span<std::uint8_t> buffer,
                           const std::function<bool(FileWriter&)>& write,
                           bool last, Faults* faults, std::uint32_t limit) {
  AppendResult result;
  std::error_code& ec = result.ec;
  const auto fail = [&](AppendOutcome outcome) {
    result.outcome = outcome;
    return result;
  };
  FolderWork work;
  work.folder = FolderOf(target);
  // An interrupt while waiting for the lock ends the run at once.
  if (!work.lock.Acquire(work.folder, false, work.ec)) {
    ec = work.ec;
    return fail(AppendOutcome::kCannotOpen);
  }
  InterruptsHeld held;
  if (last) HoldInterruptsUntilExit();
  if (held.Pending()) {
    ec = std::make_error_code(std::errc::interrupted);
    return fail(AppendOutcome::kWriteFailed);
  }
  if (!RepairFolder(work)) {
    ec = work.ec;
    return fail(AppendOutcome::kCannotOpen);
  }

  NativeFile file;
  FileFacts facts;
  switch (NativeFile::OpenForUpdate(target, file, ec, &facts)) {
    case OpenResult::kOk:
      break;
    case OpenResult::kMissing:
      return CreateWhole(work, target, buffer, write, held, faults, limit);
    case OpenResult::kNotRegular:
      ec = std::make_error_code(std::errc::invalid_argument);
      return fail(AppendOutcome::kCannotOpen);
    case OpenResult::kDenied:
    case OpenResult::kFailed:
      return fail(AppendOutcome::kCannotOpen);
  }
  // A file with another name could be anyone's: appending to it would
  // write through that name too.
  if (facts.links != 1) {
    ec = std::make_error_code(std::errc::too_many_links);
    return fail(AppendOutcome::kCannotOpen);
  }
  if (!file.DropSetIdBits(ec)) return fail(AppendOutcome::kCannotOpen);
  JournalEntry entry;
  entry.kind = EntryKind::kAppend;
  entry.target = NameBytes(target);
  entry.old_length = facts.size;
  entry.old_identity = facts.identity;
  if (!WriteJournal(work, {entry}, true, faults)) {
    ec = work.ec;
    return fail(AppendOutcome::kWriteFailed);
  }

  FileWriter writer(buffer, faults);
  writer.Attach(&file);
  const bool source_ok = file.Seek(entry.old_length, ec) && write(writer);
  bool written = source_ok && writer.Flush(ec) &&
                 !(faults != nullptr && faults->Fails(FaultPoint::kSync, ec)) &&
                 file.Sync(ec);
  if (written && held.Pending()) {
    // An interrupt came meanwhile: the run ends with the file as it was.
    ec = std::make_error_code(std::errc::interrupted);
    written = false;
  }
  if (written) {
    // Once the journal is gone for good, the bytes stay.
    written = RemoveJournal(work) && SyncFolder(work.lock, faults, ec);
    if (written) return result;
  }
  std::error_code ignored;
  file.Truncate(entry.old_length, ignored);
  file.Sync(ignored);
  RemoveJournal(work);
  work.lock.SyncFolder(ignored);
  return fail(source_ok ? AppendOutcome::kWriteFailed
                        : AppendOutcome::kSourceFailed);
}

}  // namespace common
