#include "app/MessageLoop.h"

#include <algorithm>

namespace {
template <class T>
void RemoveFirst(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}
}  // namespace

BOOL CMessageLoop::FilterMessage(MSG* msg) {
  for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) {
    if (*it != nullptr && (*it)->FilterMessage(msg)) return TRUE;
  }
  return FALSE;
}

BOOL CMessageLoop::IdleWork(int /*idleCount*/) {
  for (CIdleHandler* handler : m_idleHandlers) {
    if (handler != nullptr) handler->IdleWork();
  }
  return FALSE;
}

void CMessageLoop::AddFilter(CMessageFilter* filter) { m_filters.push_back(filter); }
void CMessageLoop::RemoveFilter(CMessageFilter* filter) { RemoveFirst(m_filters, filter); }
void CMessageLoop::AddIdleHandler(CIdleHandler* handler) { m_idleHandlers.push_back(handler); }
void CMessageLoop::RemoveIdleHandler(CIdleHandler* handler) { RemoveFirst(m_idleHandlers, handler); }

bool CMessageLoop::IsIdleMessage(const MSG& msg) {
  switch (msg.message) {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case 0x0118:  // the system timer behind caret blinking
      return true;
    default:
      return false;
  }
}

int CMessageLoop::RunLoop() {
  bool doIdle = true;
  int idleCount = 0;
  for (;;) {
    while (doIdle && !PeekMessageW(&m_msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (!IdleWork(idleCount++)) doIdle = false;
    }
    const BOOL r = GetMessageW(&m_msg, nullptr, 0, 0);
    if (r == -1) continue;
    if (r == 0) break;
    if (!FilterMessage(&m_msg)) {
      TranslateMessage(&m_msg);
      DispatchMessageW(&m_msg);
    }
    if (!IsIdleMessage(m_msg)) {
      doIdle = true;
      idleCount = 0;
    }
  }
  return static_cast<int>(m_msg.wParam);
}
