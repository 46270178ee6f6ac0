#pragma once
// Reaches the port's thread, handles and lock, which no caller of the class sees.

#include "serial/SerialPort.h"

struct SerialPortTestAccess {
  static HANDLE Thread(CSerialPort& p) { return p.m_hThread; }
  static HANDLE ShutdownEvent(CSerialPort& p) { return p.m_hShutdownEvent; }
  static HANDLE IoEvent(CSerialPort& p) { return p.m_overlapped.hEvent; }
  static HANDLE Comm(CSerialPort& p) { return p.m_hComm; }
  static CRITICAL_SECTION& Lock(CSerialPort& p) { return p.m_lock; }
};
using Access = SerialPortTestAccess;
