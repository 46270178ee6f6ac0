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
  // the reader together make one opening. A window already gone wants no port.
  static std::mutex openStep;
  if (port != 0 && IsWindow(dialog->m_hWnd)) {
    std::lock_guard<std::mutex> lock(openStep);
    CSerialPort& serial = dialog->m_serialPort;
    if (!serial.IsMonitoring(port) &&
        serial.Open(dialog->m_hWnd, port, quillon::kReaderBaudRate, quillon::kReaderParity,
                    quillon::kReaderDataBits, quillon::kReaderStopBits, quillon::kReaderEventMask)) {
      serial.StartEventThread();
    }
  }
  return 0;
}
