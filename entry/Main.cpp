#include <windows.h>

#include "entry/ProgramMain.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPWSTR cmdLine, int cmdShow) {
  return ProgramMain(cmdLine, cmdShow);
}
