#pragma once
// How deep the UI thread is in waits on the serial port, which answer sent
// messages meanwhile: what a handler may do depends on it (see MainDlg.h).

// Counts the UI thread's waits on the port, which answer sent messages meanwhile.
class CPortWait {
 public:
  explicit CPortWait(int& depth) : m_depth(depth) { ++m_depth; }
  ~CPortWait() { --m_depth; }
  CPortWait(const CPortWait&) = delete;
  CPortWait& operator=(const CPortWait&) = delete;

 private:
  int& m_depth;
};
