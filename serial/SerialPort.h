#pragma once
// One COM device opened for overlapped I/O, with an event thread that turns the
// device's events and received bytes into messages for an owner window.

#include <windows.h>

class CSerialPort {
 public:
  CSerialPort();
  virtual ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // Closes any previous opening, then opens "\\.\COM<portNumber>" exclusively,
  // configures it and purges both queues. Does not start the event thread.
  bool Open(HWND owner, int portNumber, int baudRate, char parity, int dataBits, int stopBits,
            DWORD eventMask);
  bool StartEventThread();
  // Ends the event thread and closes every handle; safe in any state, any number of times.
  void Close();
  bool IsOpen() const { return m_hComm != nullptr; }
  DWORD GetEventMask() const { return m_eventMask; }
  DCB GetDcb() const { return m_dcb; }
  void Write(const char* text);

 private:
  static DWORD WINAPI EventThreadProc(LPVOID param);
  static void ReceiveBytes(CSerialPort* port);

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
};
