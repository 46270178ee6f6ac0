#pragma once
// Whether a device arrival is the reader coming back while its port is open: its
// own port arriving again, or a device interface of the reader's converter. Such a
// device is a new instance under the same COM name, and the open handle leads to
// the old one. Pure: reads only the broadcast record.

#include <windows.h>
#include <dbt.h>

namespace quillon {

// True when `name` is COM<portNumber>, in any case ("com7" for 7).
bool IsPortName(const wchar_t* name, int portNumber);

// True when a device path carries the reader's vendor and product ids, as USB
// ("VID_0403&PID_8288") or the converter's own bus ("VID_0403+PID_8288") writes
// them, in any case.
bool PathCarriesReaderIds(const wchar_t* path);

// The arrival in `header` (as WM_DEVICECHANGE's lParam gives it; may be null) names
// the port COM<openPort> or a device interface of the reader. The record's size
// bounds every read of it.
bool IsReaderArrival(const DEV_BROADCAST_HDR* header, int openPort);

}  // namespace quillon
