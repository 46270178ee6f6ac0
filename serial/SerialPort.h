#pragma once
// One COM device opened for overlapped I/O, with an event thread that turns the
// device's events and received bytes into messages for an owner window.

#include <windows.h>

// The device path ("\\.\COM12") and the line settings text ("baud=9600 parity=N data=8 stop=1")
// that Open builds, each in a buffer of this many characters.
constexpr size_t kSerialTextCapacity = 260;
void FormatSerialDeviceName(wchar_t (&name)[kSerialTextCapacity], int portNumber);
void FormatSerialSettings(wchar_t (&settings)[kSerialTextCapacity], int baudRate, char parity, int dataBits,
                          int stopBits);
// Sets what Open asks of the line beyond the settings text (RTS on, reads not aborted
// by line errors) and applies the text. False when the text is not understood.
bool PrepareSerialDcb(DCB& dcb, const wchar_t* settings);

// The two device calls whose effect a test cannot see on an emulated line: starting the
// event thread's wait (never fails there) and the purge on open (the line is flushed on
// open anyway). Replaceable so tests can fail the one and record the other; null puts
// the system's call back. Set them while no port is open.
using WaitCommEventFn = BOOL(WINAPI*)(HANDLE comm, LPDWORD events, LPOVERLAPPED overlapped);
using PurgeCommFn = BOOL(WINAPI*)(HANDLE comm, DWORD flags);
WaitCommEventFn SetWaitCommEventForTesting(WaitCommEventFn fn);
PurgeCommFn SetPurgeCommForTesting(PurgeCommFn fn);

class CSerialPort {
 public:
  CSerialPort();
  virtual ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // Closes any previous opening, then opens "\\.\COM<portNumber>" exclusively,
  // configures it and purges both queues. Does not start the event thread. False, with
  // nothing left open and the system's error as the last error, when the device does
  // not open or cannot be set up.
  bool Open(HWND owner, int portNumber, int baudRate, char parity, int dataBits, int stopBits,
            DWORD eventMask);
  // Starts the opening's event thread; false (and nothing started) when the port is not
  // open or already has one.
  bool StartEventThread();
  // Ends the event thread and closes every handle; safe in any state, any number of times.
  void Close();
  // While disabled the port stays closed: Disable closes it, and Open refuses
  // (ERROR_NOT_READY) until Enable. For an owner that must not hold the line now
  // (its session left the screen, or it is ending) while discoveries may still run.
  void Disable();
  void Enable();
  // The answer to WM_SERIAL_LOST: closes the opening whose event thread reported the
  // loss, and says whether it did. A report that arrives after a newer opening is
  // being monitored belongs to an earlier opening and leaves the new one alone.
  bool CloseAfterLoss();
  // True while `portNumber` is open and its event thread is running and has not
  // reported a loss: a discovery that finds this port has nothing to do.
  bool IsMonitoring(int portNumber);
  // The device's removal, as the handle notifications that Open registers with the
  // owner window report it (`handle` and `notify` are the notification's own).
  // ReleaseForRemoval answers a query to remove: it closes the opening those name
  // and keeps the registration, so the query's outcome still arrives. EndRemoval
  // answers that outcome (the removal failed, or happened) and a removal without a
  // query: it closes the opening they name, if still open, and ends the registration.
  // Each is true when the notification was this port's.
  bool ReleaseForRemoval(HANDLE handle, HDEVNOTIFY notify);
  bool EndRemoval(HANDLE handle, HDEVNOTIFY notify);
  // The port number of the latest opening, while it is open; 0 when closed.
  int OpenPortNumber() const { return m_hComm ? m_portNumber : 0; }
  // Counts successful openings. Bytes delivered under one value belong to one opening.
  LONG OpeningId() const { return m_openingId; }
  bool IsOpen() const { return m_hComm != nullptr; }
  DWORD GetEventMask() const { return m_eventMask; }
  DCB GetDcb() const { return m_dcb; }
  void Write(const char* text);

 private:
  friend struct SerialPortTestAccess;  // tests reach the thread handle and the events

  static DWORD WINAPI EventThreadProc(LPVOID param);
  // Delivers every byte in the input queue; false when the device has gone.
  static bool ReceiveBytes(CSerialPort* port);
  static void EndThread(CSerialPort* port, bool lost);
  // Registers the open device for handle notifications to the owner window.
  void RegisterDevice();
  // Ends the opening's handle registration, then closes the device; under m_lock.
  void CloseDeviceLocked();

  HANDLE m_hThread;
  CRITICAL_SECTION m_lock;
  HANDLE m_hShutdownEvent;
  HANDLE m_hComm;
  HANDLE m_hEvents[2];
  OVERLAPPED m_overlapped;
  COMMTIMEOUTS m_timeouts;
  DCB m_dcb;
  HWND m_hOwner;
  int m_portNumber;
  DWORD m_eventMask;
  // Serialises Open, StartEventThread and Close against each other (two discovery
  // runs, or a discovery run and the UI thread). A mutex, not m_lock, so a waiter
  // can keep answering the event thread's sent messages.
  HANDLE m_hLifecycleMutex;
  volatile LONG m_openingId;
  bool m_disabled;  // under m_hLifecycleMutex
  bool m_closing;   // under m_hLifecycleMutex: Close is waiting for the event thread
  // The opening's handle notifications (under m_lock): the registration and the handle it
  // names. One that a query to remove released stays until the removal's outcome.
  HDEVNOTIFY m_hDevNotify;
  HANDLE m_hNotifiedComm;
  HDEVNOTIFY m_hRemovalNotify;
  HANDLE m_hRemovalComm;
};
