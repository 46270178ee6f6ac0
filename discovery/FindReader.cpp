#include "discovery/FindReader.h"

#include <mutex>

#include "automation/Automation.h"
#include "discovery/ReaderLine.h"
#include "discovery/ReaderWalk.h"
#include "serial/SerialPort.h"
#include "win/Scoped.h"

namespace {

// Tells a device list that does not hold the reader from one that could not be read.
class CListFailure : public quillon::CReaderWalkObserver {
 public:
  bool failed = false;
  void OnWalkFailed(HRESULT) override { failed = true; }
  bool OnDevice(const char*, const char*, bool, int) override { return false; }
};

}  // namespace

void ReportReaderSearch(const ReaderRun& run, ReaderSearch outcome) {
  PostMessageW(run.host->ReaderOwner(), WM_READER_SEARCHED, outcome, static_cast<LPARAM>(run.id));
}

DWORD WINAPI FindReaderThreadProc(LPVOID param) {
  const ReaderRun& run = *static_cast<const ReaderRun*>(param);
  CReaderHost* host = run.host;

  // This thread joins the process's multithreaded apartment without entering one
  // of its own; nothing is ever shown for a failed automation call here.
  quillon::InitializeAutomation(FALSE, TRUE);
  quillon::EnableErrorDisplay(FALSE);

  int port = 0;
  CListFailure list;
  {
    CScopedComPtr<IDispatch> service;  // released before the client is uninitialised
    quillon::GetObject(quillon::kWmiMoniker, nullptr, service.Put());
    port = quillon::FindReaderPort(service.Get(), &list);
  }
  quillon::UninitializeAutomation(FALSE);

  // The reader's port already open and monitored is left as it is: reopening would
  // purge a card in flight. Runs take this step one at a time, so two runs that find
  // the reader together make one opening.
  static std::mutex openStep;
  ReaderSearch outcome = list.failed ? kReaderUnknown : kReaderNotFound;
  if (port != 0) {
    std::lock_guard<std::mutex> lock(openStep);
    CSerialPort& serial = host->ReaderPort();
    if (serial.IsMonitoring(port)) {
      outcome = kReaderOpen;
    } else if (serial.Open(host->ReaderOwner(), port, quillon::kReaderBaudRate, quillon::kReaderParity,
                           quillon::kReaderDataBits, quillon::kReaderStopBits, quillon::kReaderEventMask)) {
      serial.StartEventThread();
      outcome = kReaderOpen;
    } else {
      outcome = kReaderBusy;
    }
  }
  // The owner decides whether to try again.
  ReportReaderSearch(run, outcome);
  return 0;
}
