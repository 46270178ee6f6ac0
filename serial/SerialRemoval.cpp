// The port's device handle and the system's handle notifications: each opening
// registers its handle with the owner window, and a query to remove the device, its
// failure and the removal itself reach the port through the owner (see SerialPort.cpp).
#include <windows.h>
#include <dbt.h>

#include "serial/SerialLifecycle.h"
#include "serial/SerialPort.h"
#include "win/Scoped.h"

using serial_internal::CloseAndClear;
using serial_internal::LifecycleGuard;

void CSerialPort::RegisterDevice() {
  DEV_BROADCAST_HANDLE filter = {};
  filter.dbch_size = sizeof(filter);
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = m_hComm;
  // Without it a driver update or "safely remove" cannot take the device from us; not fatal.
  HDEVNOTIFY notify = IsWindow(m_hOwner)
                          ? RegisterDeviceNotificationW(m_hOwner, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)
                          : nullptr;
  CScopedLock lock(m_lock);
  m_hDevNotify = notify;
  m_hNotifiedComm = notify ? m_hComm : nullptr;
}

void CSerialPort::CloseDeviceLocked() {
  if (m_hDevNotify) UnregisterDeviceNotification(m_hDevNotify);
  m_hDevNotify = nullptr;
  m_hNotifiedComm = nullptr;
  CloseAndClear(m_hComm);
}

bool CSerialPort::ReleaseForRemoval(HANDLE handle, HDEVNOTIFY notify) {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  {
    CScopedLock lock(m_lock);
    if (!notify || notify != m_hDevNotify || handle != m_hNotifiedComm) return false;
    // Kept past the close: the query's outcome is reported to this registration.
    m_hRemovalNotify = m_hDevNotify;
    m_hRemovalComm = m_hNotifiedComm;
    m_hDevNotify = nullptr;
    m_hNotifiedComm = nullptr;
  }
  Close();
  return true;
}

bool CSerialPort::EndRemoval(HANDLE handle, HDEVNOTIFY notify) {
  LifecycleGuard lifecycle(m_hLifecycleMutex);
  bool live = false;
  {
    CScopedLock lock(m_lock);
    if (!notify) return false;
    if (notify == m_hRemovalNotify && handle == m_hRemovalComm) {
      UnregisterDeviceNotification(m_hRemovalNotify);
      m_hRemovalNotify = nullptr;
      m_hRemovalComm = nullptr;
      return true;
    }
    live = notify == m_hDevNotify && handle == m_hNotifiedComm;
  }
  // Removed without a query first (pulled out, or surprise removal): the opening is lost.
  if (live) Close();
  return live;
}
