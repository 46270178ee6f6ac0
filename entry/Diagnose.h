#pragma once
// The switches that write text: "Quillon --diagnose [seconds]", a plain-text
// report, for whoever has to find out why a card typed nothing, of what the
// program would find and open and of what the reader sends (it never types, never
// takes the single-instance guard and keeps no files); --version, --help, and the
// usage line for anything else.

#include <windows.h>

#include "entry/CommandLine.h"

// Exit statuses of the diagnostic, and of a bad command line.
enum DiagnoseStatus {
  kDiagnoseReaderOpened = 0,
  kDiagnoseNoReader = 1,
  kDiagnoseOpenFailed = 2,
  kDiagnoseWmiFailed = 3,
  kDiagnoseHeldByQuillon = 4,
  kDiagnoseUsage = 5,  // a bad argument: one usage line, nothing else done
};

// Runs a command other than the tray program and --exit on the calling thread
// (COM set up by the entry point); returns its exit status.
int RunReport(const quillon::Command& command);

// The console companion started without a switch but the tray program's: starts
// the GUI program beside it with the same typing switches, which becomes the tray
// copy, and returns at once.
int StartTrayProgram(const quillon::TypingOptions& typing);
