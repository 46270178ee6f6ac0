#include "discovery/ReaderWalk.h"

#include "automation/Automation.h"
#include "discovery/ReaderMatch.h"

namespace quillon {

const wchar_t kWmiMoniker[] = L"winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2";
const wchar_t kDeviceQuery[] = L"Select * from Win32_PnPEntity";

namespace {
template <typename T>
void ReleaseAndClear(T*& p) {
  if (p) p->Release();
  p = nullptr;
}
}  // namespace

int FindReaderPort(IDispatch* service, CReaderWalkObserver* observer) {
  IDispatch* collection = nullptr;
  IEnumVARIANT* enumerator = nullptr;
  IDispatch* device = nullptr;
  int port = 0;
  bool found = false;

  // A failed query leaves the collection null and EnumBegin fails on it; the
  // observer hears of the query's failure, not of that consequence.
  const HRESULT queried = GetValue(L"%o", &collection, service, L".ExecQuery(%S)", kDeviceQuery);
  if (FAILED(queried) && observer) observer->OnWalkFailed(queried);
  const HRESULT begun = EnumBegin(&enumerator, collection, nullptr);
  if (FAILED(begun) && SUCCEEDED(queried) && observer) observer->OnWalkFailed(begun);
  if (SUCCEEDED(begun)) {
    for (;;) {
      ReleaseAndClear(device);
      // 1 (exhausted) and failures both end the walk.
      const HRESULT next = EnumNextObject(enumerator, &device);
      if (FAILED(next) && observer) observer->OnWalkFailed(next);
      if (next != S_OK) break;
      LPSTR name = nullptr;
      LPSTR deviceId = nullptr;
      GetValue(L"%s", &name, device, L".Name");
      GetValue(L"%s", &deviceId, device, L".PnPDeviceID");
      const bool isReader = IsReaderDevice(name, deviceId);
      const int number = isReader ? PortNumberFromName(name) : 0;
      if (isReader && !found) {
        port = number;
        found = true;
      }
      const bool goOn = observer && observer->OnDevice(name, deviceId, isReader, number);
      SysFreeString(reinterpret_cast<BSTR>(name));
      SysFreeString(reinterpret_cast<BSTR>(deviceId));
      if (isReader && !goOn) break;
    }
  }
  ReleaseAndClear(device);
  ReleaseAndClear(enumerator);
  ReleaseAndClear(collection);
  return port;
}

}  // namespace quillon
