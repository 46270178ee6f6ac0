// QuillonProbe.exe: the program whose discovery runs search for no device and
// only do what the test asks, and whose typing can be refused and its error sound
// counted (see ProbeDiscovery.h).
#include <windows.h>

#include <cstring>

#include "card/Keystrokes.h"
#include "entry/ProgramMain.h"
#include "serial/SerialPort.h"
#include "tests/system/ProbeDiscovery.h"
#include "ui/MainDlg.h"

// The port's open step, held the way Open holds it.
struct SerialPortTestAccess {
  static HANDLE LifecycleMutex(CSerialPort& port) { return port.m_hLifecycleMutex; }
  static HANDLE Comm(CSerialPort& port) { return port.m_hComm; }
  static HDEVNOTIFY Notify(CSerialPort& port) { return port.m_hDevNotify; }
};

namespace {
void Count(const wchar_t* name) {
  if (HANDLE sem = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, name)) {
    ReleaseSemaphore(sem, 1, nullptr);
    CloseHandle(sem);
  }
}

// Waits on the named event if it exists.
void WaitIfHeld(const wchar_t* name) {
  if (HANDLE hold = OpenEventW(SYNCHRONIZE, FALSE, name)) {
    WaitForSingleObject(hold, INFINITE);
    CloseHandle(hold);
  }
}

ReaderSearch Answer(LONG run) {
  char letter = 'n';
  if (HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, kProbeAnswers)) {
    if (auto* answers = static_cast<const ProbeAnswers*>(
            MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(ProbeAnswers)))) {
      const size_t scripted = strnlen(answers->first, sizeof(answers->first));
      letter = static_cast<size_t>(run) <= scripted ? answers->first[run - 1] : answers->then;
      UnmapViewOfFile(answers);
    }
    CloseHandle(mapping);
  }
  switch (letter) {
    case 'o':
      return kReaderOpen;
    case 'b':
      return kReaderBusy;
    case 'u':
      return kReaderUnknown;
    default:
      return kReaderNotFound;
  }
}

// What the port holds now, for a test that sends the notifications Windows would.
void PublishPort(CSerialPort& port) {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, kProbePort);
  if (!mapping) return;
  if (auto* published =
          static_cast<ProbePort*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbePort)))) {
    const HANDLE openStep = SerialPortTestAccess::LifecycleMutex(port);
    WaitForSingleObject(openStep, INFINITE);
    published->comm = reinterpret_cast<ULONG_PTR>(SerialPortTestAccess::Comm(port));
    published->notify = reinterpret_cast<ULONG_PTR>(SerialPortTestAccess::Notify(port));
    published->opening = port.OpeningId();
    ReleaseMutex(openStep);
    UnmapViewOfFile(published);
  }
  CloseHandle(mapping);
}

bool RealRuns() {
  HANDLE real = OpenEventW(SYNCHRONIZE, FALSE, kProbeReal);
  if (real) CloseHandle(real);
  return real != nullptr;
}

DWORD WINAPI ProbeRun(LPVOID param) {
  if (RealRuns()) {
    Count(kProbeStarted);
    CSerialPort& port = static_cast<const ReaderRun*>(param)->host->ReaderPort();
    FindReaderThreadProc(param);
    PublishPort(port);
    Count(kProbeEnded);
    return 0;
  }
  static volatile LONG runs = 0;
  const LONG number = InterlockedIncrement(&runs);
  const ReaderRun& run = *static_cast<const ReaderRun*>(param);
  Count(kProbeStarted);
  WaitIfHeld(kProbeHold);
  WaitIfHeld(ProbeHoldRun(number).c_str());

  CSerialPort& port = run.host->ReaderPort();
  const HANDLE openStep = SerialPortTestAccess::LifecycleMutex(port);
  WaitForSingleObject(openStep, INFINITE);
  WaitIfHeld(ProbeHoldOpen(number).c_str());
  // COM0 never exists: the only question is whether the port would try.
  if (!port.Open(run.host->ReaderOwner(), 0, 9600, 'N', 8, 1, EV_RXCHAR) && GetLastError() == ERROR_NOT_READY)
    Count(kProbeRefused);
  ReleaseMutex(openStep);

  ReportReaderSearch(run, Answer(number));
  Count(kProbeEnded);
  return 0;
}
UINT WINAPI ProbeSendInput(UINT count, LPINPUT inputs, int size) {
  bool refuse = false;
  if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, kProbeRefuseInput)) {
    refuse = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    CloseHandle(event);
  }
  return refuse ? 0 : SendInput(count, inputs, size);
}

void ProbeSound() { Count(kProbeSounds); }
}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPWSTR cmdLine, int cmdShow) {
  CMainDlg::SetDiscoveryForTesting(ProbeRun);
  quillon::SetSendInputForTesting(ProbeSendInput);
  quillon::SetErrorSoundForTesting(ProbeSound);
  return ProgramMain(cmdLine, cmdShow);
}
