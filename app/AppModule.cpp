#include "app/AppModule.h"

#include "win/Scoped.h"

CAppModule g_appModule;

CAppModule::CAppModule() : m_registry(nullptr) { InitializeCriticalSection(&m_lock); }

CAppModule::~CAppModule() {
  Term();
  DeleteCriticalSection(&m_lock);
}

void CAppModule::Init() {
  CScopedLock guard(m_lock);
  if (m_registry == nullptr) m_registry = new Registry;
}

void CAppModule::Term() {
  CScopedLock guard(m_lock);
  delete m_registry;
  m_registry = nullptr;
}

void CAppModule::AddLoop(CMessageLoop* loop) {
  CScopedLock guard(m_lock);
  if (m_registry == nullptr) return;
  m_registry->keys.push_back(GetCurrentThreadId());
  m_registry->values.push_back(loop);
  ++m_registry->count;
}

void CAppModule::RemoveLoop() {
  CScopedLock guard(m_lock);
  if (m_registry == nullptr) return;
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < m_registry->count; ++i) {
    if (m_registry->keys[i] == self) {
      m_registry->keys.erase(m_registry->keys.begin() + i);
      m_registry->values.erase(m_registry->values.begin() + i);
      --m_registry->count;
      return;
    }
  }
}

CMessageLoop* CAppModule::FindLoop() {
  CScopedLock guard(m_lock);
  if (m_registry == nullptr) return nullptr;
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < m_registry->count; ++i) {
    if (m_registry->keys[i] == self) return m_registry->values[i];
  }
  return nullptr;
}
