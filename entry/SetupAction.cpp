// QuillonSetup.dll: the installer's step that ends every running Quillon before
// its files are replaced or removed. A DLL action, unlike the exe started with
// --exit, needs no installed file to run and can write its outcome to the
// installer's log.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "entry/ExitRunning.h"

extern "C" __declspec(dllexport) UINT __stdcall ExitRunningQuillon(MSIHANDLE install) {
  const int result = ExitRunning(kExitRunningWaitMs);
  MSIHANDLE record = MsiCreateRecord(1);
  if (record) {
    MsiRecordSetStringW(record, 0,
                        result == 0 ? L"Quillon: no Quillon runs in this logon session any more."
                                    : L"Quillon: a Quillon still runs after 15 s and was not ended; its files "
                                      L"are replaced or removed once it ends, or at the next restart.");
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
  }
  // Never fails the install: Windows Installer handles a file still in use.
  return ERROR_SUCCESS;
}
