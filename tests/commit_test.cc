// Outputs: temporaries made for one run, commits of groups that replace all
// their targets or none, appends in place, and the repair of what a killed
// run left.
#include "common/commit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/block_reader.h"
#include "common/faults.h"
#include "common/file_io.h"
#include "common/output_file.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using common::FaultPoint;
using testing_support::Bytes;
using testing_support::NoCommitLeftovers;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::WriteBytes;

constexpr FaultPoint kPoints[] = {FaultPoint::kCreate, FaultPoint::kSync,
                                  FaultPoint::kLink, FaultPoint::kRename};

const char* PointName(FaultPoint point) {
  switch (point) {
    case FaultPoint::kCreate:
      return "create";
    case FaultPoint::kSync:
      return "sync";
    case FaultPoint::kLink:
      return "link";
    case FaultPoint::kRename:
      return "rename";
    case FaultPoint::kCount:
      break;
  }
  return "?";
}

// A finished temporary for `target` holding `bytes`.
common::FinishedFile Finished(const fs::path& target, const Bytes& bytes,
                              common::Faults* faults = nullptr) {
  common::OutputFile file({}, faults);
  std::error_code ec;
  EXPECT_EQ(file.Begin(target, ec), common::OutputProblem::kNone)
      << ec.message();
  file.Write(bytes);
  EXPECT_TRUE(file.Finish(ec)) << ec.message();
  return file.HandOver();
}

class CommitTest : public testing_support::TempDirTest {
 protected:
  // What the next run that commits in the folder does first.
  static void CommitSomethingElse() {
    common::Commit commit;
    commit.Add({Finished("unrelated", {0x99})});
    ASSERT_TRUE(commit.CommitAll().front().committed);
    fs::remove("unrelated");
  }
};

// Three targets, two of them existing, replaced as one group, beside a
// second group.
struct Scene {
  const Bytes old_a = {0xA0, 0xA1};
  const Bytes old_c = {0xC0};
  const Bytes new_a = {0x1A, 0x2A, 0x3A};
  const Bytes new_b = {0x1B};
  const Bytes new_c = {0x1C, 0x2C};
  const Bytes new_d = {0x1D};

  void Prepare() const {
    for (const auto& entry : fs::directory_iterator("."))
      fs::remove_all(entry.path());
    WriteBytes("a", old_a);
    WriteBytes("c", old_c);
  }
  // Which state the first group's files are in: "old", "new" or "mixed".
  std::string GroupState() const {
    const bool is_old =
        ReadBytes("a") == old_a && !fs::exists("b") && ReadBytes("c") == old_c;
    const bool is_new = ReadBytes("a") == new_a && fs::exists("b") &&
                        ReadBytes("b") == new_b && ReadBytes("c") == new_c;
    return is_old ? "old" : is_new ? "new" : "mixed";
  }
};

std::vector<common::Commit::Outcome> CommitScene(const Scene& scene,
                                                 common::Faults* faults) {
  common::Commit commit(faults);
  commit.Add({Finished("a", scene.new_a), Finished("b", scene.new_b),
              Finished("c", scene.new_c)});
  commit.Add({Finished("d", scene.new_d)});
  return commit.CommitAll();
}

TEST_F(CommitTest, GroupReplacesAllItsTargetsOrNoneWhateverStepFails) {
  const Scene scene;
  int failures = 0;
  // Where no second name can be made, targets are renamed aside instead.
  for (bool links : {true, false}) {
    for (FaultPoint point : kPoints) {
      for (int nth = 0;; ++nth) {
        SCOPED_TRACE(testing::Message()
                     << PointName(point) << " " << nth << " " << links);
        scene.Prepare();
        common::Faults faults;
        if (!links) faults.FailAlways(FaultPoint::kLink);
        faults.FailAt(point, nth);
        const std::vector<common::Commit::Outcome> outcomes =
            CommitScene(scene, &faults);
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(scene.GroupState(), outcomes[0].committed ? "new" : "old");
        EXPECT_EQ(fs::exists("d"), outcomes[1].committed);
        EXPECT_TRUE(NoCommitLeftovers("."));
        if (outcomes[0].committed && outcomes[1].committed) break;
        EXPECT_TRUE(outcomes[0].ec || outcomes[1].ec);
        ++failures;
        ASSERT_LT(nth, 50);
      }
    }
  }
  std::cout << "[          ] " << failures
            << " failed steps, each left the group whole\n";
  EXPECT_GE(failures, 16);
}

TEST_F(CommitTest, KillAtAnyStepIsRepairedByTheNextCommit) {
  const Scene scene;
  int kills = 0, left_old = 0, left_new = 0;
  for (bool links : {true, false}) {
    for (FaultPoint point : kPoints) {
      for (int nth = 0;; ++nth) {
        SCOPED_TRACE(testing::Message()
                     << PointName(point) << " " << nth << " " << links);
        scene.Prepare();
        common::Faults faults;
        if (!links) faults.FailAlways(FaultPoint::kLink);
        faults.CrashAt(point, nth);
        bool crashed = false;
        try {
          CommitScene(scene, &faults);
        } catch (const common::SimulatedCrash&) {
          crashed = true;
        }
        if (!crashed) break;
        ++kills;
        CommitSomethingElse();
        const std::string state = scene.GroupState();
        EXPECT_NE(state, "mixed");
        (state == "old" ? left_old : left_new) += 1;
        EXPECT_TRUE(NoCommitLeftovers("."));
        ASSERT_LT(nth, 50);
      }
    }
  }
  std::cout << "[          ] " << kills << " kills: " << left_old
            << " repaired to the old files, " << left_new
            << " to the new ones\n";
  EXPECT_GT(left_old, 0);
  EXPECT_GT(left_new, 0);
}

TEST_F(CommitTest, KillDuringARollbackIsFinishedBackwards) {
  const Scene scene;
  // The last sync fails once every file went in, so both groups roll back;
  // the kill comes at each of the rollback's renames.
  int kills = 0;
  for (int nth = 4;; ++nth) {
    SCOPED_TRACE(nth);
    scene.Prepare();
    common::Faults faults;
    // Syncs: the file system (0), the folder after the renames (1); where
    // files are synced one by one, the journal and its folder come first.
    faults.FailAt(FaultPoint::kSync, common::SyncsFilesOneByOne() ? 3 : 1);
    faults.CrashAt(FaultPoint::kRename, nth);
    try {
      const std::vector<common::Commit::Outcome> outcomes =
          CommitScene(scene, &faults);
      EXPECT_FALSE(outcomes[0].committed);
      EXPECT_EQ(scene.GroupState(), "old");
      break;
    } catch (const common::SimulatedCrash&) {
      ++kills;
    }
    CommitSomethingElse();
    EXPECT_EQ(scene.GroupState(), "old");
    // The second group's rollback had not begun: it is whole, and new.
    EXPECT_EQ(ReadBytes("d"), scene.new_d);
    EXPECT_TRUE(NoCommitLeftovers("."));
  }
  EXPECT_EQ(kills, 2);
}

TEST_F(CommitTest, AppendFailureOrKillLeavesTheFileAsItWasOrComplete) {
  const Bytes kOld = {'P', 'A', 'T', 'C', 'H'};
  const Bytes kAdded(300, 0x42);
  const auto append = [&](common::Faults* faults, bool source_ok) {
    std::vector<std::uint8_t> buffer(common::BlockReader::kMinBlockSize);
    return common::AppendInPlace(
        "target", buffer,
        [&](common::FileWriter& writer) {
          writer.Write(kAdded);
          return source_ok;
        },
        false, faults);
  };
  Bytes complete = kOld;
  complete.insert(complete.end(), kAdded.begin(), kAdded.end());
  int runs = 0;
  for (bool existing : {true, false}) {
    const Bytes before = existing ? kOld : Bytes{};
    const Bytes after = existing ? complete : kAdded;
    for (FaultPoint point : kPoints) {
      for (int nth = 0;; ++nth) {
        bool reached = false;
        for (bool crash : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << existing << " " << PointName(point) << " " << nth
                       << (crash ? " kill" : " failure"));
          fs::remove("target");
          if (existing) WriteBytes("target", kOld);
          common::Faults faults;
          crash ? faults.CrashAt(point, nth) : faults.FailAt(point, nth);
          common::AppendOutcome outcome = common::AppendOutcome::kWriteFailed;
          try {
            outcome = append(&faults, true).outcome;
          } catch (const common::SimulatedCrash&) {
            CommitSomethingElse();
          }
          if (outcome == common::AppendOutcome::kDone) {
            EXPECT_EQ(ReadBytes("target"), after);
            continue;
          }
          reached = true;
          ++runs;
          if (fs::exists("target")) {
            // After a kill the next run may find it complete, never partial.
            const Bytes now = ReadBytes("target");
            EXPECT_TRUE(now == before || (crash && now == after));
          } else {
            EXPECT_FALSE(existing);
          }
          EXPECT_TRUE(NoCommitLeftovers("."));
        }
        if (!reached) break;
        ASSERT_LT(nth, 20);
      }
    }
    // A source that fails takes back what was appended.
    fs::remove("target");
    if (existing) WriteBytes("target", kOld);
    EXPECT_EQ(append(nullptr, false).outcome,
              common::AppendOutcome::kSourceFailed);
    EXPECT_EQ(fs::exists("target"), existing);
    if (existing) {
      EXPECT_EQ(ReadBytes("target"), kOld);
    }
  }
  std::cout << "[          ] " << runs
            << " failed or killed appends, each left the file whole\n";
}

TEST_F(CommitTest, LeftoversOfRunsThatNoLongerExistGoThoseOfLiveRunsStay) {
  // No process has the first id; the second (init) always runs on POSIX.
  const std::string dead = "a.2147480000-0badcafe.tesk-tmp";
  const std::string dead_aside = "a.2147480000-0badcaff.tesk-old";
#if defined(_WIN32)
  const std::string live = "a.tesk-tmp";  // no process id that surely runs
#else
  const std::string live = "a.1-0badcafe.tesk-tmp";
#endif
  const std::string mine_lookalike = "notes.tesk-tmp";
  for (const std::string& name : {dead, dead_aside, live, mine_lookalike}) {
    WriteBytes(name, {1});
  }
  EXPECT_EQ(common::ProcessIdInName(dead, common::kTempSuffix), 2147480000);
  EXPECT_EQ(common::ProcessIdInName(mine_lookalike, common::kTempSuffix), 0);
  CommitSomethingElse();
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_FALSE(fs::exists(dead_aside));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::exists(mine_lookalike));
}

TEST_F(CommitTest, TemporariesAreUniqueAndShortWhateverTheTarget) {
  const std::string long_name(200, 'n');
  common::OutputFile first, second;
  std::error_code ec;
  ASSERT_EQ(first.Begin(long_name, ec), common::OutputProblem::kNone)
      << ec.message();
  ASSERT_EQ(second.Begin(long_name, ec), common::OutputProblem::kNone)
      << ec.message();
  EXPECT_NE(first.temporary(), second.temporary());
  EXPECT_LT(first.temporary().filename().string().size(), 70u);
  EXPECT_EQ(common::ProcessIdInName(first.temporary().filename().string(),
                                    common::kTempSuffix),
            common::ProcessId());
}

TEST_F(CommitTest, WhatIsNotARegularFileIsNeverReplaced) {
  fs::create_directory("folder");
  common::OutputFile file;
  std::error_code ec;
  EXPECT_EQ(file.Begin("folder", ec), common::OutputProblem::kNotAFile);
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  EXPECT_EQ(file.Begin("fifo", ec), common::OutputProblem::kNotAFile);
  EXPECT_EQ(file.Begin("/dev/null", ec), common::OutputProblem::kNotAFile);
  // Appending in place refuses them too, and a link at the target.
  std::vector<std::uint8_t> buffer(8);
  const auto write = [](common::FileWriter& w) {
    w.Write(Bytes{1});
    return true;
  };
  EXPECT_EQ(common::AppendInPlace("fifo", buffer, write).outcome,
            common::AppendOutcome::kCannotOpen);
  WriteBytes("real", {7});
  fs::create_symlink("real", "link");
  EXPECT_EQ(common::AppendInPlace("link", buffer, write).outcome,
            common::AppendOutcome::kCannotOpen);
  EXPECT_EQ(ReadBytes("real"), Bytes{7});
#endif
  EXPECT_TRUE(NoCommitLeftovers("."));
}

#if !defined(_WIN32)
TEST_F(CommitTest, LinkAtTheTargetIsReplacedNotFollowed) {
  WriteBytes("real", {1, 2});
  fs::create_symlink("real", "target");
  fs::create_symlink("/dev/null", "thrown-away");
  common::Commit commit;
  commit.Add({Finished("target", {3}), Finished("thrown-away", {4})});
  ASSERT_TRUE(commit.CommitAll().front().committed);
  EXPECT_FALSE(fs::is_symlink("target"));
  EXPECT_EQ(ReadBytes("target"), Bytes{3});
  EXPECT_EQ(ReadBytes("real"), (Bytes{1, 2}));
  EXPECT_FALSE(fs::is_symlink("thrown-away"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(CommitTest, PermissionBitsComeFromTheTargetFromTheStartNeverSetId) {
  WriteBytes("private", {1});
  fs::permissions("private", fs::perms(0600));
  WriteBytes("program", {1});
  fs::permissions("program", fs::perms(04755));
  if (testing_support::RunningAsRoot()) {
    ASSERT_EQ(chown("program", 65534, 65534), 0);  // another user's
  }
  for (const char* name : {"private", "program"}) {
    SCOPED_TRACE(name);
    // Another user's bits are never taken over: the new file has the bits
    // the system gives one.
    const bool others =
        testing_support::RunningAsRoot() && std::string(name) == "program";
    const fs::perms expected =
        others ? fs::perms(common::DefaultPermissions())
               : fs::status(name).permissions() & fs::perms::all;
    common::OutputFile file;
    std::error_code ec;
    ASSERT_EQ(file.Begin(name, ec), common::OutputProblem::kNone);
    // Before a byte is written, the temporary has the bits it keeps.
    EXPECT_EQ(fs::status(file.temporary()).permissions(), expected);
    file.Write(Bytes{2});
    ASSERT_TRUE(file.Finish(ec));
    common::Commit commit;
    commit.Add({file.HandOver()});
    ASSERT_TRUE(commit.CommitAll().front().committed);
    struct stat st;
    ASSERT_EQ(stat(name, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(expected));
    EXPECT_EQ(st.st_uid, geteuid());
  }
}

// What a journal holds must come from this user alone: one of another
// owner, with a second name (which another user may have made), or that
// others may write, is never acted on.
TEST_F(CommitTest, JournalThatIsNotThisUsersAloneIsNotActedOn) {
  struct Case {
    const char* name;
    std::function<void()> spoil;
  };
  const Case kCases[] = {
      {"writable by others",
       [] { fs::permissions(common::kJournalName, fs::perms(0666)); }},
      {"a second name",
       [] { fs::create_hard_link(common::kJournalName, "other"); }},
      {"another owner",
       [] {
         if (testing_support::RunningAsRoot()) {
           ASSERT_EQ(chown(common::kJournalName, 65534, 65534), 0);
         } else {
           fs::permissions(common::kJournalName, fs::perms(0666));
         }
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator("."))
      fs::remove_all(entry.path());
    WriteBytes(common::kJournalName, {1, 2, 3});
    fs::permissions(common::kJournalName, fs::perms(0600));
    c.spoil();
    WriteBytes("a", {5});
    common::Commit commit;
    commit.Add({Finished("a", {6})});
    const common::Commit::Outcome outcome = commit.CommitAll().front();
    EXPECT_FALSE(outcome.committed);
    EXPECT_EQ(ReadBytes("a"), Bytes{5});
    EXPECT_EQ(ReadBytes(common::kJournalName), (Bytes{1, 2, 3}));
  }
}

TEST_F(CommitTest, FilePlantedAtATemporarysNameDoesNotMisleadTheRepair) {
  const Scene scene;
  scene.Prepare();
  // Killed after every rename, before the old files went: the repair
  // finishes the group. A file planted meanwhile where a temporary was
  // must not make it roll back (this one, being the test's own, then goes
  // with the killed run's leftovers; another user's would stay).
  common::Faults faults;
  faults.CrashAt(FaultPoint::kSync, common::SyncsFilesOneByOne() ? 3 : 1);
  std::string temporary;
  {
    common::Commit commit(&faults);
    common::FinishedFile a = Finished("a", scene.new_a);
    temporary = a.temporary.string();
    commit.Add({a, Finished("b", scene.new_b), Finished("c", scene.new_c)});
    commit.Add({Finished("d", scene.new_d)});
    EXPECT_THROW(commit.CommitAll(), common::SimulatedCrash);
  }
  WriteBytes(temporary, {0x66});
  CommitSomethingElse();
  EXPECT_EQ(scene.GroupState(), "new");
}

#if !defined(_WIN32)
TEST_F(CommitTest, FolderNamedTwoWaysIsLockedOnce) {
  fs::create_directory_symlink(".", "same");
  common::Commit commit;
  commit.Add({Finished("x", {1}), Finished("same/y", {2})});
  ASSERT_TRUE(commit.CommitAll().front().committed);
  EXPECT_EQ(ReadBytes("x"), Bytes{1});
  EXPECT_EQ(ReadBytes("y"), Bytes{2});
  EXPECT_TRUE(NoCommitLeftovers("."));
}
#endif
#endif

TEST_F(CommitTest, JournalThatDoesNotReadBackWholeIsDroppedUnacted) {
  // A journal that does not read back whole never led to a rename.
  WriteBytes(common::kJournalName, {'T', 'E', 'S', 'K', 'J'});
  WriteBytes("a", {5});
  CommitSomethingElse();
  EXPECT_EQ(ReadBytes("a"), Bytes{5});
  EXPECT_TRUE(NoCommitLeftovers("."));
}

}  // namespace
