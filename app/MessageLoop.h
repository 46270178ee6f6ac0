#pragma once
// The UI thread's message loop with its two extension points: message filters,
// asked before a message is translated and dispatched, and idle handlers, run
// once each time the queue runs dry after real work.

#include <windows.h>

#include <vector>

class CMessageFilter {
 public:
  // Nonzero: the message was consumed and is neither translated nor dispatched.
  virtual BOOL FilterMessage(MSG* msg) = 0;

 protected:
  ~CMessageFilter() = default;
};

class CIdleHandler {
 public:
  virtual BOOL IdleWork() = 0;

 protected:
  ~CIdleHandler() = default;
};

class CMessageLoop {
 public:
  CMessageLoop() = default;
  virtual ~CMessageLoop() = default;
  CMessageLoop(const CMessageLoop&) = delete;
  CMessageLoop& operator=(const CMessageLoop&) = delete;

  // Asks the filters, newest first; the first that consumes the message ends the walk.
  virtual BOOL FilterMessage(MSG* msg);
  // Runs every idle handler in registration order; always FALSE (one call per idle period).
  virtual BOOL IdleWork(int idleCount);

  void AddFilter(CMessageFilter* filter);
  void RemoveFilter(CMessageFilter* filter);
  void AddIdleHandler(CIdleHandler* handler);
  void RemoveIdleHandler(CIdleHandler* handler);

  // Runs until WM_QUIT and returns its wParam.
  int RunLoop();

 protected:
  // Messages that arrive in streams without meaning new work: they leave the idle state alone.
  static bool IsIdleMessage(const MSG& msg);

  std::vector<CMessageFilter*> m_filters;
  std::vector<CIdleHandler*> m_idleHandlers;
  MSG m_msg = {};
};
