// Interrupts. SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and closing the console
// on Windows) remove the run's temporaries and end the program with a
// message and status 1, so the outputs stay as they were; SIGXFSZ is
// ignored, so that a file-size limit shows as a failed write instead of
// killing the program. Commits hold interrupts off until they are done, so
// that no group of outputs is left half renamed.
#pragma once

#include <filesystem>

namespace common {

// Installs the handlers for the whole process. On an interrupt `message`
// goes to standard output (stream 1) or standard error (stream 2).
void InstallInterruptHandlers(int stream, const char* message);

// The run's temporaries, which an interrupt removes: registered when they
// are created, forgotten when they are renamed over their targets or
// removed. A temporary that carries this process's id but is not among them
// was left by an earlier process of the same id.
void TrackTemporary(const std::filesystem::path& path);
void ForgetTemporary(const std::filesystem::path& path);
// True when this process made a temporary of this name and still has it.
bool IsOwnTemporary(const std::filesystem::path& name);

// Holds interrupts off until the program ends: a program calls it before
// its last commit, which rolls back for an interrupt that came before its
// end, so that an interrupt either leaves the files as they were (status 1)
// or comes too late to change the outcome (the run ends as it would have).
void HoldInterruptsUntilExit();

// While one lives, an interrupt waits; it takes effect when the last one
// goes away. A thread started meanwhile never takes an interrupt itself.
class InterruptsHeld {
 public:
  InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
  ~InterruptsHeld();
  // True when an interrupt arrived and waits.
  bool Pending() const;
};

}  // namespace common
