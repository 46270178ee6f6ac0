#pragma once
// The reader's serial line, as every opening of its port uses it: 9600 baud, no
// parity, 8 data bits, 1 stop bit, and the events the port reports.

#include <windows.h>

namespace quillon {

constexpr int kReaderBaudRate = 9600;
constexpr char kReaderParity = 'N';
constexpr int kReaderDataBits = 8;
constexpr int kReaderStopBits = 1;
constexpr DWORD kReaderEventMask = EV_RXCHAR | EV_RXFLAG;

}  // namespace quillon
