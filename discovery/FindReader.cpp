#include "discovery/FindReader.h"

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

  // Open closes a connection that is open, so a new run replaces it; the port
  // object keeps Open, StartEventThread and Close from overlapping.
  if (port != 0 && dialog->m_serialPort.Open(dialog->m_hWnd, port, quillon::kReaderBaudRate,
                                             quillon::kReaderParity, quillon::kReaderDataBits,
                                             quillon::kReaderStopBits, quillon::kReaderEventMask)) {
    dialog->m_serialPort.StartEventThread();
  }
  return 0;
}
