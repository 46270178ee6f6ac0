#pragma once
// One pass over a management service's plug-and-play devices, through the
// automation client, to find the card reader's COM port.

#include <windows.h>
#include <oaidl.h>

namespace quillon {

// Moniker of the management service and the query whose result is walked.
extern const wchar_t kWmiMoniker[];
extern const wchar_t kDeviceQuery[];

// Queries `service` for the plug-and-play devices and returns the port number of
// the first device that is the reader, or 0 (none, no number, or any failure).
// The first device that matches ends the walk, whatever its number.
int FindReaderPort(IDispatch* service);

}  // namespace quillon
