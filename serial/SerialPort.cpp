#include "serial/SerialPort.h"

#include <cstring>
#include <cwchar>

#include "serial/SerialLifecycle.h"
#include "serial/SerialMessages.h"
#include "win/Scoped.h"

// Who runs what:
// - A discovery thread runs IsMonitoring, Open and StartEventThread; the owner's (UI)
//   thread runs CloseAfterLoss on WM_SERIAL_LOST, Close when the owner goes away, and the
//   destructor.
// - The event thread waits for comm events, reads the input queue one byte at a time and
//   sends each byte to the owner window, so it waits for the UI thread on every byte.
// Why no wait closes a cycle back to the UI thread:
// - m_lock covers single device calls only (queue check, one-byte read, write, the
//   configuration in Open, closing the device). Nobody holds it while waiting for the event
//   thread or for the UI thread, and the event thread never holds it while it sends.
// - Open, StartEventThread and Close exclude each other through m_hLifecycleMutex, and Close
//   waits for the event thread. Both waits keep answering messages sent to the waiting
//   thread, so a UI thread that waits there still lets the event thread finish its send and
//   reach the shutdown check.
// How an opening ends:
// - Shutdown: Close signals m_hShutdownEvent; the thread finishes a receive step in
//   progress, sees the event at its next wait, closes the device and ends.
// - Loss: a failed wait start, queue check or read. The thread signals m_hShutdownEvent
//   itself, closes the device and posts WM_SERIAL_LOST as its very last act, so once the
//   report is out the thread sends nothing more. CloseAfterLoss recognises its own opening
//   by that signalled event and can wait for the thread without any risk of a cycle; a
//   report from an earlier opening finds a live opening and leaves it alone.
// - Each successful Open counts a new opening (OpeningId), so the owner can tell bytes of
//   one opening from bytes of the next.
// - Removal: each opening registers its device handle for notifications to the owner window,
//   and the registration ends just before the handle closes, whoever closes it. A query to
//   remove the device closes the opening but keeps the registration until the query's
//   outcome (failed, or removed) has arrived, which ends it.
// Nesting: a UI thread that waits here answers sent messages, and a handler may ask for a
// Close meanwhile. Inside Close's own wait for the event thread such a Close returns at once
// and leaves the work to the outer one, which closes everything anyway; so no wait is ever
// left on a thread handle that a nested call has closed (and the system may have reused).

using serial_internal::CloseAndClear;
using serial_internal::LifecycleGuard;
using serial_internal::WaitAnsweringSends;

namespace {

const DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

WaitCommEventFn g_waitCommEvent = ::WaitCommEvent;
PurgeCommFn g_purgeComm = ::PurgeComm;

// What a failed read means: a line error that the driver answers by aborting reads
// (framing, overrun, with the abort-on-error flag) passes once the error is cleared;
// anything else is a device that has gone.
bool IsLineError(DWORD error) { return error == ERROR_OPERATION_ABORTED; }

}  // namespace

void FormatSerialDeviceName(wchar_t (&name)[kSerialTextCapacity], int portNumber) {
  swprintf(name, ARRAYSIZE(name), L"\\\\.\\COM%d", portNumber);
}

void FormatSerialSettings(wchar_t (&settings)[kSerialTextCapacity], int baudRate, char parity, int dataBits,
                          int stopBits) {
  swprintf(settings, ARRAYSIZE(settings), L"baud=%d parity=%c data=%d stop=%d", baudRate,
           static_cast<int>(static_cast<unsigned char>(parity)), dataBits, stopBits);
}

WaitCommEventFn SetWaitCommEventForTesting(WaitCommEventFn fn) {
  const WaitCommEventFn old = g_waitCommEvent;
  g_waitCommEvent = fn ? fn : ::WaitCommEvent;
  return old;
}

PurgeCommFn SetPurgeCommForTesting(PurgeCommFn fn) {
  const PurgeCommFn old = g_purgeComm;
  g_purgeComm = fn ? fn : ::PurgeComm;
  return old;
}

bool PrepareSerialDcb(DCB& dcb, const wchar_t* settings) {
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // With it set, one framing or overrun error fails every read until cleared; the event
  // thread clears errors as it goes, so a noisy line must not stop the reader.
  dcb.fAbortOnError = FALSE;
  return BuildCommDCBW(settings, &dcb) != FALSE;
}

CSerialPort::CSerialPort()
    : m_hThread(nullptr),
      m_hShutdownEvent(nullptr),
      m_hComm(nullptr),
      m_hEvents{nullptr, nullptr},
      m_overlapped{},
      m_timeouts{},
      m_dcb{},
      m_hOwner(nullptr),
      m_portNumber(0),
      m_eventMask(0),
      m_hLifecycleMutex(CreateMutexW(nullptr, FALSE, nullptr)),
      m_openingId(0),
      m_disabled(false),
      m_closing(false),
      m_hDevNotify(nullptr),
      m_hNotifiedComm(nullptr),
      m_hRemovalNotify(nullptr),
      m_hRemovalComm(nullptr) {
  InitializeCriticalSection(&m_lock);
}

CSerialPort::~CSerialPort() {
  // Also after a lost device, when only the thread handle and the events are left.
  Close();
  EndRemoval(m_hRemovalComm, m_hRemovalNotify);
  DeleteCriticalSection(&m_lock);
  CloseHandle(m_hLifecycleMutex);
}

bool CSerialPort::Open(HWND owner, int portNumber, int baudRate, char parity, int dataBits, int stopBits,
                       DWORD eventMask) {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  // Inside this thread's own Close (a handler answered in its wait): that Close is not
  // done with the old opening's handles yet.
  if (m_closing) {
    SetLastError(ERROR_BUSY);
    return false;
  }
  Close();
  if (m_disabled) {
    SetLastError(ERROR_NOT_READY);
    return false;
  }

  m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_hShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_hEvents[0] = m_hShutdownEvent;
  m_hEvents[1] = m_overlapped.hEvent;
  m_hOwner = owner;
  m_portNumber = portNumber;
  m_eventMask = eventMask;

  DWORD error = ERROR_SUCCESS;
  {
    CScopedLock lock(m_lock);
    CloseDeviceLocked();
    wchar_t deviceName[kSerialTextCapacity];
    wchar_t settings[kSerialTextCapacity];
    FormatSerialDeviceName(deviceName, portNumber);
    FormatSerialSettings(settings, baudRate, parity, dataBits, stopBits);

    HANDLE comm = CreateFileW(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (comm == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else {
      m_hComm = comm;
      m_timeouts.ReadIntervalTimeout = 1000;
      m_timeouts.ReadTotalTimeoutMultiplier = 1000;
      m_timeouts.ReadTotalTimeoutConstant = 1000;
      m_timeouts.WriteTotalTimeoutMultiplier = 1000;
      m_timeouts.WriteTotalTimeoutConstant = 1000;
      // Each step only after the one before it worked. A line that cannot be set up
      // would never deliver a byte nor report its loss, so it is not an opening.
      const bool configured = SetCommTimeouts(m_hComm, &m_timeouts) && SetCommMask(m_hComm, eventMask) &&
                              GetCommState(m_hComm, &m_dcb) && PrepareSerialDcb(m_dcb, settings) &&
                              SetCommState(m_hComm, &m_dcb);
      if (configured) {
        // Bytes the device received before this opening are not ours to deliver.
        g_purgeComm(m_hComm, kPurgeAll);
      } else {
        error = GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
      }
    }
  }
  if (error != ERROR_SUCCESS) {
    // A failed opening leaves nothing open behind it.
    Close();
    SetLastError(error);
    return false;
  }
  RegisterDevice();
  InterlockedIncrement(&m_openingId);
  return true;
}

bool CSerialPort::StartEventThread() {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  // One thread per opening: a second one would read the same queue and leak the first handle.
  // None on a port that is not open: it could deliver nothing and report nothing.
  if (m_hThread || !m_hComm) return false;
  m_hThread = CreateThread(nullptr, 0, EventThreadProc, this, 0, nullptr);
  return m_hThread != nullptr;
}

void CSerialPort::Close() {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  if (m_closing) return;  // asked for inside the wait below: the outer call does it all
  m_closing = true;
  if (m_hThread) {
    if (m_hShutdownEvent) SetEvent(m_hShutdownEvent);
    WaitAnsweringSends(m_hThread);
    CloseAndClear(m_hThread);
  }
  CloseAndClear(m_hShutdownEvent);
  CloseAndClear(m_overlapped.hEvent);
  m_hEvents[0] = m_hEvents[1] = nullptr;
  {
    CScopedLock lock(m_lock);
    CloseDeviceLocked();
  }
  m_closing = false;
}

void CSerialPort::Disable() {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  m_disabled = true;
  Close();
}

void CSerialPort::Enable() {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  m_disabled = false;
}

bool CSerialPort::CloseAfterLoss() {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  // Only Close signals the event otherwise, and Close leaves no thread behind; so a
  // thread with the event signalled is this opening's, past its last send.
  if (!m_hThread || WaitForSingleObject(m_hShutdownEvent, 0) != WAIT_OBJECT_0) return false;
  Close();
  return true;
}

bool CSerialPort::IsMonitoring(int portNumber) {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  return m_hThread && m_portNumber == portNumber && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT &&
         WaitForSingleObject(m_hShutdownEvent, 0) == WAIT_TIMEOUT;
}

void CSerialPort::Write(const char* text) {
  if (!text) return;
  // Its own record and event: m_overlapped belongs to the event thread's pending wait.
  CScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.IsValid()) return;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  CScopedLock lock(m_lock);
  if (!m_hComm) return;
  DWORD written = 0;
  if (!WriteFile(m_hComm, text, static_cast<DWORD>(strlen(text)), &written, &overlapped) &&
      GetLastError() == ERROR_IO_PENDING) {
    GetOverlappedResult(m_hComm, &overlapped, &written, TRUE);
  }
}

DWORD WINAPI CSerialPort::EventThreadProc(LPVOID param) {
  CSerialPort* port = static_cast<CSerialPort*>(param);
  if (!port->m_hComm) return static_cast<DWORD>(-1);

  DWORD events = 0;
  DWORD mask = 0;
  DWORD errors = 0;
  COMSTAT status{};
  for (;;) {
    if (g_waitCommEvent(port->m_hComm, &events, &port->m_overlapped)) {
      ClearCommError(port->m_hComm, &errors, &status);
      if (status.cbInQue == 0) {
        // A driver that keeps completing at once must not keep Close waiting forever.
        if (WaitForSingleObject(port->m_hShutdownEvent, 0) == WAIT_OBJECT_0) {
          EndThread(port, false);
          return 0;
        }
        continue;
      }
    } else {
      DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        // Bytes that arrive meanwhile queue in the driver and are delivered together.
        Sleep(500);
      } else if (IsLineError(error) && ClearCommError(port->m_hComm, &errors, &status)) {
        // The driver aborted the wait for a line error; cleared, the line goes on.
        if (WaitForSingleObject(port->m_hShutdownEvent, 0) == WAIT_OBJECT_0) {
          EndThread(port, false);
          return 0;
        }
        continue;
      } else if (error != ERROR_INVALID_PARAMETER) {
        EndThread(port, true);
        return 0;
      }
    }

    DWORD woke = WaitForMultipleObjects(2, port->m_hEvents, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      // The wait may still be pending and writes into `events` on this stack: end it first.
      SetCommMask(port->m_hComm, 0);
      WaitForSingleObject(port->m_overlapped.hEvent, 5000);
      EndThread(port, false);
      return 0;
    }
    if (woke != WAIT_OBJECT_0 + 1) continue;

    // The mask Open set, not the events the wait reported, decides what is posted.
    GetCommMask(port->m_hComm, &mask);
    const LPARAM portNumber = port->m_portNumber;
    if (mask & EV_CTS) PostMessageW(port->m_hOwner, WM_SERIAL_CTS, 0, portNumber);
    if (mask & EV_RXFLAG) PostMessageW(port->m_hOwner, WM_SERIAL_RXFLAG, 0, portNumber);
    if (mask & EV_BREAK) PostMessageW(port->m_hOwner, WM_SERIAL_BREAK, 0, portNumber);
    if (mask & EV_ERR) PostMessageW(port->m_hOwner, WM_SERIAL_ERROR, 0, portNumber);
    if (mask & EV_RING) PostMessageW(port->m_hOwner, WM_SERIAL_RING, 0, portNumber);
    if ((mask & EV_RXCHAR) && !ReceiveBytes(port)) {
      // A vanished device can still start event waits (Wine on a hung-up line), so a failed
      // queue check or read is the only sure sign of it.
      EndThread(port, true);
      return 0;
    }
  }
}

bool CSerialPort::ReceiveBytes(CSerialPort* port) {
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    BOOL checked;
    {
      CScopedLock lock(port->m_lock);
      checked = ClearCommError(port->m_hComm, &errors, &status);
    }
    if (!checked) return false;
    if (status.cbInQue == 0) return true;

    BYTE byte = 0;
    DWORD read = 0;
    BOOL ok;
    {
      CScopedLock lock(port->m_lock);
      ok = ReadFile(port->m_hComm, &byte, 1, &read, &port->m_overlapped);
      if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port->m_hComm, &port->m_overlapped, &read, TRUE);
      }
      // A line error aborted the read: clear it and check the queue again.
      if (!ok && IsLineError(GetLastError())) {
        read = 0;
        ok = ClearCommError(port->m_hComm, &errors, &status);
      }
    }
    if (!ok) return false;
    // A read that timed out empty delivers nothing; the queue is checked again.
    if (read == 1) SendMessageW(port->m_hOwner, WM_SERIAL_RXCHAR, byte, port->m_portNumber);
  }
}

void CSerialPort::EndThread(CSerialPort* port, bool lost) {
  const HWND owner = port->m_hOwner;
  const LPARAM portNumber = port->m_portNumber;
  // Marks the opening as lost for CloseAfterLoss, and a later Close finds the thread
  // ended and only closes handles.
  if (lost) SetEvent(port->m_hShutdownEvent);
  {
    CScopedLock lock(port->m_lock);
    port->CloseDeviceLocked();
  }
  // The last act: from here on the thread touches neither the port nor the owner.
  if (lost) PostMessageW(owner, WM_SERIAL_LOST, 0, portNumber);
}
