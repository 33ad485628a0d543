// Committing a run's outputs, so that every output ends either as it was or
// complete, also when runs share a folder or one is killed.
//
// Finished temporaries (common/output_file.h) are handed to a Commit in
// groups; a group replaces all its targets or none. CommitAll(), for each
// folder involved, in one fixed order:
//   1. takes the folder's lock, so that runs writing in one folder commit one
//      after the other;
//   2. repairs what a run killed during its commit left there (see the
//      journal below) and removes temporaries whose run no longer exists;
//   3. writes the journal, the list of every rename to come;
//   4. puts every temporary and the journal on the disk: one sync of the
//      file system where the system has one (Linux), else each file was
//      synced as it finished and the journal and folder are synced now;
//   5. group by group, gives each existing target a second name (or renames
//      it aside) and renames the temporary over it; should a step fail, the
//      group's old files go back;
//   6. puts the folder on the disk, then removes the old files and the
//      journal.
// Interrupts wait while a commit runs (common/interrupts.h).
//
// The journal is the file kJournalName in the folder, kept only while a
// commit runs or after one was killed. Binary, little-endian:
//   "TESKJRN1"       8 bytes
//   entry count      4 bytes
//   per entry:
//     kind           1 byte   1: a temporary replaces its target,
//                             2: bytes are appended to the target in place
//     group          4 bytes  entries of one group are replaced together
//     flag           1 byte   kind 1: the target existed (so it has an old
//                             file)
//     old length     8 bytes  kind 2: the target's length before
//     old file       16 bytes the identity (device, number) of the target
//                             before: kind 1's old file, kind 2's file
//     new file       16 bytes kind 1: the identity of the temporary
//     3 names        2 bytes of length, then the bytes: the target, the
//                             temporary and the old file's name, without
//                             the folder
//   checksum         8 bytes  FNV-1a over everything before it
// The next run that commits in the folder finishes each group whose
// temporaries were all renamed in and rolls back every other group; appends
// are cut back to their old length. A repair moves or removes only the
// files the journal names by identity, so nothing planted at one of the
// names is touched. A journal that does not read back whole was never put
// on the disk, so no rename followed it; it is removed. A journal that is
// not this user's alone (another owner, a second name, writable by others)
// is never acted on.
//
// A group whose files lie in several folders has an entry in each folder's
// journal; after a kill each folder is repaired on its own.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "common/faults.h"
#include "common/output_file.h"

namespace common {

inline constexpr const char* kJournalName = "tesk.journal";

class Commit {
 public:
  explicit Commit(Faults* faults = nullptr);
  Commit(const Commit&) = delete;
  Commit& operator=(const Commit&) = delete;
  // Removes the temporaries of groups never committed.
  ~Commit();

  // Adds a group of finished files; returns its number, from 0 in the order
  // of adding.
  std::size_t Add(std::vector<FinishedFile> group);
  bool empty() const { return pending_.empty(); }
  // True when a pending group replaces `target` (the same name, as written
  // or made absolute).
  bool Replaces(const std::filesystem::path& target) const;

  struct Outcome {
    bool committed = true;
    std::size_t file = 0;  // the group's file at fault, when not committed
    std::error_code ec;
  };
  // Commits every group added since the last call, one Outcome per group in
  // the order of adding. Afterwards the Commit is empty. `last` says that
  // the program does nothing more that matters: once the folders are
  // locked, interrupts wait until it ends, so that one either rolls this
  // commit back or comes too late to change its outcome.
  std::vector<Outcome> CommitAll(bool last = false);

 private:
  struct Pending {
    FinishedFile file;
    std::size_t group;
    std::string key;  // the target, absolute and normal
  };
  // Removes the temporaries of groups never committed.
  void Abandon(std::vector<Pending>& pending);

  Faults* faults_;
  // The current folder, asked once: relative names are taken from it.
  std::filesystem::path current_;
  std::vector<Pending> pending_;
  std::size_t groups_ = 0;
};

enum class AppendOutcome {
  kDone,
  kCannotOpen,    // the target is no regular file, or its folder cannot be
                  // locked or repaired
  kWriteFailed,   // writing or syncing failed; the target is as it was
  kSourceFailed,  // `write` said its source failed; the target is as it was
};

struct AppendResult {
  AppendOutcome outcome = AppendOutcome::kDone;
  std::error_code ec;
};

// Appends to `target` in place, under its folder's lock and with a journal
// entry, so that a failure or a kill leaves it as it was; a missing target
// is written whole and renamed in. `write` writes the new bytes through the
// writer it is given and returns false when its own source failed. A
// symbolic link at `target`, or a file with more than one name, is refused;
// set-id bits are taken away. `last` as for Commit::CommitAll(); a target
// written whole has no permission bit that `limit` lacks.
AppendResult AppendInPlace(const std::filesystem::path& target,
                           std::span<std::uint8_t> buffer,
                           const std::function<bool(FileWriter&)>& write,
                           bool last = false, Faults* faults = nullptr,
                           std::uint32_t limit = 0777);

}  // namespace common
