// The subsystem's per-thread slots are set up once per process by whichever
// thread touches it first. Each child process starts many threads that all
// make the process's first automation call at the same moment; every thread
// must end with its own, correct record.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "automation/Automation.h"

extern "C" __declspec(dllimport) void NTAPI RtlAcquirePebLock(void);
extern "C" __declspec(dllimport) void NTAPI RtlReleasePebLock(void);

namespace {

const int kThreads = 16;
const int kChildren = 8;

// Runs the race in this fresh process; the exit code is the number of threads
// whose record was missing, shared or wrong.
int RunRace() {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  quillon::ErrorRecord* records[kThreads] = {};
  bool right[kThreads] = {};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      WaitForSingleObject(go, 60000);
      WCHAR member[32];
      wsprintfW(member, L"Thread%d", i);
      // A null object fails at once, touching the subsystem for the first time.
      HRESULT hr = quillon::CallMethod(nullptr, member);
      quillon::GetErrorRecord(&records[i]);
      right[i] = hr == E_INVALIDARG && records[i] && records[i]->result == E_INVALIDARG &&
                 wcscmp(records[i]->memberText, member) == 0 &&
                 wcscmp(records[i]->outerOperation, L"CallMethod") == 0;
    });
  }
  Sleep(50);  // let the threads reach the gate; a late one only races less
  // Slot allocation takes the process lock: holding it keeps the first thread
  // inside its set-up while the others arrive, so the race happens every time.
  RtlAcquirePebLock();
  SetEvent(go);
  Sleep(200);
  RtlReleasePebLock();
  for (std::thread& t : threads) t.join();
  CloseHandle(go);
  int wrong = 0;
  for (int i = 0; i < kThreads; ++i) {
    bool shared = false;
    for (int j = 0; j < i; ++j) shared |= records[i] == records[j];
    if (!right[i] || shared) ++wrong;
  }
  return wrong;
}

TEST(SetupRace, ManyThreadsTouchingTheSubsystemFirstKeepTheirOwnRecords) {
  WCHAR exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  for (int child = 0; child < kChildren; ++child) {
    SCOPED_TRACE(child);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --race-child";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
    DWORD code = 1234;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(code, 0u) << "threads with a missing, shared or wrong record";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--race-child") == 0) return RunRace();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
