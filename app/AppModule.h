#pragma once
// The application module: which message loop runs on which thread, so that a
// window can join the loop of the thread it lives on.

#include <windows.h>

#include <vector>

class CMessageLoop;

class CAppModule {
 public:
  CAppModule();
  ~CAppModule();
  CAppModule(const CAppModule&) = delete;
  CAppModule& operator=(const CAppModule&) = delete;

  // Creates the empty registry / deletes it.
  void Init();
  void Term();

  // Registers `loop` for the calling thread.
  void AddLoop(CMessageLoop* loop);
  // Removes the calling thread's entry, if there is one.
  void RemoveLoop();
  // The calling thread's loop, or null.
  CMessageLoop* FindLoop();

 private:
  struct Registry {
    std::vector<DWORD> keys;
    std::vector<CMessageLoop*> values;
    int count = 0;
  };
  Registry* m_registry;
  CRITICAL_SECTION m_lock;
};

extern CAppModule g_appModule;
