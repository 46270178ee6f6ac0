#include "discovery/FindReader.h"

#include "automation/Automation.h"
#include "discovery/ReaderWalk.h"
#include "ui/MainDlg.h"

namespace {
// The reader's line: 9600 baud, no parity, 8 data bits, 1 stop bit.
const int kBaudRate = 9600;
const char kParity = 'N';
const int kDataBits = 8;
const int kStopBits = 1;
const DWORD kEventMask = EV_RXCHAR | EV_RXFLAG;
}  // namespace

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
  if (port != 0 &&
      dialog->m_serialPort.Open(dialog->m_hWnd, port, kBaudRate, kParity, kDataBits, kStopBits, kEventMask)) {
    dialog->m_serialPort.StartEventThread();
  }
  return 0;
}
