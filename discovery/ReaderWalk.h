#pragma once
// One pass over a management service's plug-and-play devices, through the
// automation client, to find the card reader's COM port.

#include <windows.h>
#include <oaidl.h>

namespace quillon {

// Moniker of the management service and the query whose result is walked.
extern const wchar_t kWmiMoniker[];
extern const wchar_t kDeviceQuery[];

// Watches a walk, to report what it sees; the walk's result does not depend on it.
class CReaderWalkObserver {
 public:
  // The query or the enumeration failed with `hr`. The calling thread's error
  // record holds this failure until the walk's next call.
  virtual void OnWalkFailed(HRESULT hr) = 0;
  // One device, in the service's order, with the walk's verdict; `port` is the
  // number its name gives when it is the reader, else 0. A text is null when its
  // read failed. True goes on past a reader; the first reader still decides.
  virtual bool OnDevice(const char* name, const char* deviceId, bool isReader, int port) = 0;

 protected:
  ~CReaderWalkObserver() = default;
};

// Queries `service` for the plug-and-play devices and returns the port number of
// the first device that is the reader, or 0 (none, no number, or any failure).
// The first device that matches ends the walk, whatever its number, unless the
// observer asks to see the rest.
int FindReaderPort(IDispatch* service, CReaderWalkObserver* observer = nullptr);

}  // namespace quillon
