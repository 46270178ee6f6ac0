#pragma once
// Named objects through which QuillonProbe.exe's discovery runs report to a test
// and take its orders. Runs are numbered 1, 2, ... in the order they start.
// Started / Ended / Refused: semaphores released once per run as it starts, as it
//   ends (after its report is posted), and when the port refused to open because
//   it is disabled (ERROR_NOT_READY).
// Hold: a manual-reset event; while it exists and is reset, every run waits on it.
// HoldRun<n>: the same for run n only.
// HoldOpen<n>: run n waits on it holding the port's open step (the mutex that Open,
//   Close, Disable and Enable take), then tries to open a port that does not exist.
// Answers: a ProbeAnswers mapping; without it every run reports "not listed".
// Real: an event; while it exists every run is the program's own discovery (the test
//   WMI provider, the fake reader), and what the port holds after it is published in
//   Port, a ProbePort mapping, when that exists.
// Its typing has two seams too:
// RefuseInput: a manual-reset event; while it exists and is set, SendInput inserts
//   nothing (as the system does for a window it keeps the keys from).
// Sounds: a semaphore released once per error sound, which is then not played.
#include <windows.h>

#include <string>

constexpr wchar_t kProbeStarted[] = L"Local\\QuillonProbe.Started";
constexpr wchar_t kProbeEnded[] = L"Local\\QuillonProbe.Ended";
constexpr wchar_t kProbeRefused[] = L"Local\\QuillonProbe.Refused";
constexpr wchar_t kProbeHold[] = L"Local\\QuillonProbe.Hold";
constexpr wchar_t kProbeAnswers[] = L"Local\\QuillonProbe.Answers";
constexpr wchar_t kProbeReal[] = L"Local\\QuillonProbe.Real";
constexpr wchar_t kProbePort[] = L"Local\\QuillonProbe.Port";
constexpr wchar_t kProbeRefuseInput[] = L"Local\\QuillonProbe.RefuseInput";
constexpr wchar_t kProbeSounds[] = L"Local\\QuillonProbe.Sounds";

inline std::wstring ProbeHoldRun(int run) { return L"Local\\QuillonProbe.HoldRun" + std::to_wstring(run); }
inline std::wstring ProbeHoldOpen(int run) { return L"Local\\QuillonProbe.HoldOpen" + std::to_wstring(run); }

// What each run reports, read as it ends: 'o' open, 'b' busy (listed, port held
// elsewhere), 'n' not listed, 'u' unknown (the device list could not be read).
// The port after a real run: its device handle and that handle's notification
// registration (as a handle notification names them), and its opening count.
struct ProbePort {
  ULONGLONG comm;
  ULONGLONG notify;
  LONG opening;
};

struct ProbeAnswers {
  char first[64];  // run n answers first[n - 1] while that is not 0 ...
  char then;       // ... and `then` after that
};
