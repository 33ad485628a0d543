#include "common/interrupts.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_io.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace common {
namespace {

#if defined(_WIN32)
using NativeName = std::wstring;
NativeName NameOf(const std::filesystem::path& path) {
  return NativePath(path);
}
#else
using NativeName = std::string;
NativeName NameOf(const std::filesystem::path& path) { return path.string(); }
#endif

// What the handler needs. It is touched only while interrupts are held, so
// the handler never sees it half changed.
struct InterruptState {
  std::vector<NativeName> temporaries;
  int stream = 2;
  const char* message = "";
  int held = 0;
  bool until_exit = false;
};

InterruptState& State() {
  static InterruptState state;
  return state;
}

#if defined(_WIN32)

CRITICAL_SECTION& Guard() {
  static CRITICAL_SECTION guard = [] {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    return section;
  }();
  return guard;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // Waits for a commit in progress, then ends the process with the guard
  // held, so the program goes no further.
  EnterCriticalSection(&Guard());
  InterruptState& state = State();
  for (const NativeName& name : state.temporaries) DeleteFileW(name.c_str());
  HANDLE out =
      GetStdHandle(state.stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD written = 0;
  WriteFile(out, state.message, static_cast<DWORD>(std::strlen(state.message)),
            &written, nullptr);
  ExitProcess(1);
}

void Hold() { EnterCriticalSection(&Guard()); }
void Release() {
  if (!State().until_exit) LeaveCriticalSection(&Guard());
}

#else

void OnSignal(int) {
  // Only calls that are safe in a signal handler: unlink, write, _exit.
  InterruptState& state = State();
  for (const NativeName& name : state.temporaries) ::unlink(name.c_str());
  const std::size_t length = std::strlen(state.message);
  if (::write(state.stream, state.message, length) < 0) {
    // Nothing more can be done about a message that cannot be written.
  }
  ::_exit(1);
}

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void Hold() {
  if (State().held++ == 0) {
    const sigset_t set = InterruptSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
  }
}

void Release() {
  if (--State().held == 0 && !State().until_exit) {
    const sigset_t set = InterruptSignals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }
}

#endif

}  // namespace

void InstallInterruptHandlers(int stream, const char* message) {
  InterruptState& state = State();
  state.stream = stream;
  state.message = message;
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigfillset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
#endif
}

void TrackTemporary(const std::filesystem::path& path) {
  InterruptsHeld held;
  State().temporaries.push_back(NameOf(path));
}

void ForgetTemporary(const std::filesystem::path& path) {
  InterruptsHeld held;
  std::vector<NativeName>& temporaries = State().temporaries;
  const auto found =
      std::find(temporaries.rbegin(), temporaries.rend(), NameOf(path));
  if (found != temporaries.rend()) temporaries.erase(std::next(found).base());
}

void HoldInterruptsUntilExit() {
  Hold();
  State().until_exit = true;
}

bool IsOwnTemporary(const std::filesystem::path& name) {
  InterruptsHeld held;
  const std::filesystem::path filename = name.filename();
  for (const NativeName& temporary : State().temporaries) {
    if (std::filesystem::path(temporary).filename() == filename) return true;
  }
  return false;
}

InterruptsHeld::InterruptsHeld() { Hold(); }

InterruptsHeld::~InterruptsHeld() { Release(); }

bool InterruptsHeld::Pending() const {
#if defined(_WIN32)
  return false;
#else
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGINT) == 1 ||
         sigismember(&pending, SIGTERM) == 1 ||
         sigismember(&pending, SIGHUP) == 1;
#endif
}

}  // namespace common
