#pragma once
// UI-update mix-in: keeps the windows whose child controls it may update. This
// program updates nothing through it; the dialog only registers itself.

#include <windows.h>

#include <vector>

template <class T>
class CUpdateUI {
 public:
  void UIAddChildWindowContainer(HWND hWnd) { m_containers.push_back(hWnd); }

 protected:
  std::vector<HWND> m_containers;
};
