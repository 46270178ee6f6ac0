// The main dialog's answers to the system's device and power broadcasts: the reader
// coming back after sleep or as a new device instance, and its removal.
#include <cstddef>

#include "discovery/DeviceArrival.h"
#include "ui/MainDlg.h"
#include "ui/PortWait.h"

namespace {

// The handle notification's own handles, or null when the broadcast is no handle event.
const DEV_BROADCAST_HANDLE* HandleEvent(LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_HANDLE ||
      header->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid))
    return nullptr;
  return reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header);
}

}  // namespace

LRESULT CMainDlg::OnDeviceChange(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
  switch (wParam) {
    case DBT_DEVICEARRIVAL: {
      // The reader's own port arriving while it is open: the device came back as a new
      // instance, and the opening leads to the old one. Any other arrival leaves a live
      // opening alone, so a card in flight is not cut.
      const int open = m_serialPort.OpenPortNumber();
      if (open != 0 && quillon::IsReaderArrival(reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam), open)) {
        Reopen();
      } else {
        ResetRetry();
        StartDiscovery();
      }
      return 0;
    }
    case DBT_DEVICEQUERYREMOVE:
      // A driver update or "safely remove" wants the device: let go of it, and grant.
      if (const DEV_BROADCAST_HANDLE* event = HandleEvent(lParam)) {
        CPortWait wait(m_portWaits);
        if (m_serialPort.ReleaseForRemoval(event->dbch_handle, event->dbch_hdevnotify)) {
          m_rxBuffer.clear();
          return TRUE;
        }
      }
      return 0;
    case DBT_DEVICEQUERYREMOVEFAILED:
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
      // The removal failed (the device stays: open it again) or happened (the opening is
      // lost, as on WM_SERIAL_LOST): either way a run looks for the reader.
      if (const DEV_BROADCAST_HANDLE* event = HandleEvent(lParam)) {
        bool ours;
        {
          CPortWait wait(m_portWaits);
          ours = m_serialPort.EndRemoval(event->dbch_handle, event->dbch_hdevnotify);
        }
        if (ours) {
          m_rxBuffer.clear();
          ResetRetry();
          StartDiscovery();
        }
      }
      return 0;
    default:
      return 0;
  }
}

LRESULT CMainDlg::OnPowerBroadcast(UINT, WPARAM wParam, LPARAM, BOOL&) {
  // A suspend leaves the port open: a resume reopens it, and where the resume is late or
  // never broadcast (Modern Standby) a reader that survived sleep goes on typing.
  if (m_resumes.IsNewResume(wParam, GetTickCount64())) Reopen();
  return TRUE;
}

void CMainDlg::Reopen() {
  // Whatever the opening looks like, it may lead to a device object that is gone: a reader
  // back from sleep or a bus reset is a new instance under the same COM name, and nothing
  // ever completes the old handle's wait. Close it and look again, with the usual retries.
  {
    CPortWait wait(m_portWaits);
    m_serialPort.Close();
  }
  m_rxBuffer.clear();
  ResetRetry();
  StartDiscovery();
}
