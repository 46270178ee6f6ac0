#include "discovery/FindReader.h"

#include <mutex>

#include "automation/Automation.h"
#include "discovery/ReaderLine.h"
#include "discovery/ReaderWalk.h"
#include "ui/MainDlg.h"

DWORD WINAPI FindReaderThreadProc(LPVOID param) {
  CMainDlg* dialog = static_cast<CMainDlg*>(param);

  // This thread joins the process's multithreaded apartment without entering one
  // of its own; nothing is ever shown for a failed automation call here.
  quillon::InitializeAutomation(FALSE, TRUE);
  quillon::EnableErrorDisplay(FALSE);

  IDispatch* service = nullptr;
  quillon::GetObject(quillon::kWmiMoniker, nullptr, &service);
  const int port = quillon::FindReaderPort(service);
  if (service) service->Release();
  quillon::UninitializeAutomation(FALSE);

  // The reader's port already open and monitored is left as it is: reopening would
  // purge a card in flight. Runs take this step one at a time, so two runs that find
  // the reader together make one opening.
  static std::mutex openStep;
  ReaderSearch outcome = kReaderNotFound;
  if (port != 0) {
    std::lock_guard<std::mutex> lock(openStep);
    CSerialPort& serial = dialog->m_serialPort;
    if (serial.IsMonitoring(port)) {
      outcome = kReaderOpen;
    } else if (serial.Open(dialog->m_hWnd, port, quillon::kReaderBaudRate, quillon::kReaderParity,
                           quillon::kReaderDataBits, quillon::kReaderStopBits, quillon::kReaderEventMask)) {
      serial.StartEventThread();
      outcome = kReaderOpen;
    } else {
      outcome = kReaderBusy;
    }
  }
  // The dialog decides whether to try again; a window already gone ignores it.
  PostMessageW(dialog->m_hWnd, WM_READER_SEARCHED, outcome, port);
  return 0;
}
