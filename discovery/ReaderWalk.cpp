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

int FindReaderPort(IDispatch* service) {
  IDispatch* collection = nullptr;
  IEnumVARIANT* enumerator = nullptr;
  IDispatch* device = nullptr;
  int port = 0;

  // A failed query leaves the collection null and EnumBegin fails on it.
  GetValue(L"%o", &collection, service, L".ExecQuery(%S)", kDeviceQuery);
  if (SUCCEEDED(EnumBegin(&enumerator, collection, nullptr))) {
    for (;;) {
      ReleaseAndClear(device);
      // 1 (exhausted) and failures both end the walk.
      if (EnumNextObject(enumerator, &device) != S_OK) break;
      LPSTR name = nullptr;
      LPSTR deviceId = nullptr;
      GetValue(L"%s", &name, device, L".Name");
      GetValue(L"%s", &deviceId, device, L".PnPDeviceID");
      const bool isReader = IsReaderDevice(name, deviceId);
      if (isReader) port = PortNumberFromName(name);
      SysFreeString(reinterpret_cast<BSTR>(name));
      SysFreeString(reinterpret_cast<BSTR>(deviceId));
      if (isReader) break;
    }
  }
  ReleaseAndClear(device);
  ReleaseAndClear(enumerator);
  ReleaseAndClear(collection);
  return port;
}

}  // namespace quillon
