#include "discovery/ReaderWalk.h"

#include "automation/Automation.h"
#include "discovery/ReaderMatch.h"
#include "win/Scoped.h"

namespace quillon {

const wchar_t kWmiMoniker[] = L"winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2";
const wchar_t kDeviceQuery[] = L"Select * from Win32_PnPEntity";

int FindReaderPort(IDispatch* service, CReaderWalkObserver* observer) {
  CScopedComPtr<IDispatch> collection;
  CScopedComPtr<IEnumVARIANT> enumerator;
  int port = 0;
  bool found = false;

  // A failed query leaves the collection null and EnumBegin fails on it; the
  // observer hears of the query's failure, not of that consequence.
  const HRESULT queried = GetValue(L"%o", collection.Put(), service, L".ExecQuery(%S)", kDeviceQuery);
  if (FAILED(queried) && observer) observer->OnWalkFailed(queried);
  const HRESULT begun = EnumBegin(enumerator.Put(), collection.Get(), nullptr);
  if (FAILED(begun) && SUCCEEDED(queried) && observer) observer->OnWalkFailed(begun);
  if (SUCCEEDED(begun)) {
    for (;;) {
      CScopedComPtr<IDispatch> device;
      // S_FALSE (exhausted) and failures both end the walk.
      const HRESULT next = EnumNextObject(enumerator.Get(), device.Put());
      if (FAILED(next) && observer) observer->OnWalkFailed(next);
      if (next != S_OK) break;
      CScopedAnsiString name;
      CScopedAnsiString deviceId;
      GetValue(L"%s", name.Put(), device.Get(), L".Name");
      GetValue(L"%s", deviceId.Put(), device.Get(), L".PnPDeviceID");
      const bool isReader = IsReaderDevice(name.Get(), deviceId.Get());
      const int number = isReader ? PortNumberFromName(name.Get()) : 0;
      if (isReader && !found) {
        port = number;
        found = true;
      }
      const bool goOn = observer && observer->OnDevice(name.Get(), deviceId.Get(), isReader, number);
      if (isReader && !goOn) break;
    }
  }
  return port;
}

}  // namespace quillon
