#pragma once
// "Quillon.exe --diagnose [seconds]": a plain-text report, for whoever has to find
// out why a card typed nothing, of what the program would find and open and of
// what the reader sends. It never types, never takes the single-instance guard
// and keeps no files.

#include <windows.h>

// Exit statuses of the diagnostic.
enum DiagnoseStatus {
  kDiagnoseReaderOpened = 0,
  kDiagnoseNoReader = 1,
  kDiagnoseOpenFailed = 2,
  kDiagnoseWmiFailed = 3,
  kDiagnoseHeldByQuillon = 4,
  kDiagnoseUsage = 5,  // a bad argument: one usage line, nothing else done
};

// When the command line starts with --diagnose, runs the diagnostic on the calling
// thread (COM set up by the entry point) and returns true with its exit status.
bool RunDiagnoseIfAsked(int* status);
