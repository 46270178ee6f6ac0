#pragma once
// Messages the serial event thread sends or posts to the port's owner window.
// wParam: the received byte (WM_SERIAL_RXCHAR) or 0; lParam: the port number.

#include <windows.h>

#define WM_SERIAL_BREAK (WM_USER + 1)   // posted, EV_BREAK in the device mask
#define WM_SERIAL_CTS (WM_USER + 2)     // posted, EV_CTS
#define WM_SERIAL_ERROR (WM_USER + 4)   // posted, EV_ERR
#define WM_SERIAL_RING (WM_USER + 5)    // posted, EV_RING
#define WM_SERIAL_RXCHAR (WM_USER + 7)  // sent, once per byte read
#define WM_SERIAL_RXFLAG (WM_USER + 8)  // posted, EV_RXFLAG
#define WM_SERIAL_LOST (WM_USER + 10)   // posted once when the device has gone; the thread then ends
