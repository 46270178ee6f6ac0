// QuillonSetup.dll: the installer's steps. They choose the folders and the Start
// menu of the install's context, turn the typing properties into the program's
// switches, and end every running Quillon before its files are replaced or
// removed. A DLL action, unlike the exe started with --exit, needs no installed
// file to run and can write its outcome to the installer's log.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include <string>

#include "entry/CommandLine.h"
#include "entry/ExitRunning.h"
#include "entry/SetupDecisions.h"
#include "entry/StartAtLogon.h"
#include "win/Scoped.h"

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = {};
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
  value.resize(size);
  return value;
}

// A line in the installer's log; as an error it also shows in any UI and the install fails.
void Message(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return;
  MsiRecordSetStringW(record, 0, text.c_str());
  MsiProcessMessage(install, kind, record);
  MsiCloseHandle(record);
}

bool RegisteredIn(const std::wstring& product, MSIINSTALLCONTEXT context) {
  wchar_t version[64] = {};
  DWORD size = ARRAYSIZE(version);
  return MsiGetProductInfoExW(product.c_str(), nullptr, context, INSTALLPROPERTY_VERSIONSTRING, version,
                              &size) == ERROR_SUCCESS;
}

}  // namespace

// Runs before the folders are resolved, in both sequences. For the machine:
// Program Files (the package's own folder), the Start menu of all users, ALLUSERS
// 1 so that HKMU is HKLM (removal and repair included, which Wine runs without
// it). For the user: %LOCALAPPDATA%\Programs\Quillon, which Windows would
// redirect Program Files to and Wine does not.
extern "C" __declspec(dllexport) UINT __stdcall InstallContext(MSIHANDLE install) {
  quillon::SetupContext context;
  const std::wstring product = Property(install, L"ProductCode");
  context.allUsers = Property(install, L"ALLUSERS");
  context.maintenance = !Property(install, L"Installed").empty();
  // Group Policy's user assignment registers the product as managed for the user.
  context.registeredForUser = RegisteredIn(product, MSIINSTALLCONTEXT_USERUNMANAGED) ||
                              RegisteredIn(product, MSIINSTALLCONTEXT_USERMANAGED);
  context.registeredForMachine = RegisteredIn(product, MSIINSTALLCONTEXT_MACHINE);
  if (quillon::InstallsForMachine(context)) {
    MsiSetPropertyW(install, L"ALLUSERS", L"1");
    wchar_t programs[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs))) {
      Message(install, INSTALLMESSAGE_ERROR, L"Quillon: the Start menu of all users was not found.");
      return ERROR_INSTALL_FAILURE;
    }
    MsiSetPropertyW(install, L"ProgramMenuFolder", (std::wstring(programs) + L"\\").c_str());
    Message(install, INSTALLMESSAGE_INFO, L"Quillon: for every user of this machine.");
  } else {
    MsiSetPropertyW(install, L"ALLUSERS", L"");
    const std::wstring folder = Property(install, L"LocalAppDataFolder") + L"Programs\\Quillon\\";
    MsiSetPropertyW(install, L"INSTALLDIR", folder.c_str());
    Message(install, INSTALLMESSAGE_INFO, L"Quillon: for the current user only.");
  }
  return ERROR_SUCCESS;
}

namespace {

// The switches of the Run value this install replaces (an upgrade's, a repair's),
// in the context's root; a 32-bit and a 64-bit package write different HKLM views.
bool SwitchesInPlace(MSIHANDLE install, quillon::TypingOptions* typing) {
  const bool machine = Property(install, L"ALLUSERS") == L"1";
  for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_64KEY), REGSAM(KEY_WOW64_32KEY)}) {
    if (!machine && view != 0) break;
    CScopedRegKey run;
    if (RegOpenKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_QUERY_VALUE | view,
                      run.Put()) != ERROR_SUCCESS)
      continue;
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(run.Get(), L"Quillon", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ && quillon::TypingOfRunValue(value, typing))
      return true;
  }
  return false;
}

}  // namespace

// KEYS and SUFFIX become QUILLONARGS ("--keys layout --suffix enter", the
// shortcut's and the start's arguments) and QUILLONRUNARGS (the same after a space,
// for the Run value), both empty without them. With neither, an upgrade or a
// repair keeps the switches of the Run value it replaces: the reader's typing
// must not change because a newer version was installed. A value the program
// would refuse fails the install before anything is changed: a silent default
// would type differently from what was asked.
extern "C" __declspec(dllexport) UINT __stdcall TypingSwitches(MSIHANDLE install) {
  const std::wstring keys = Property(install, L"KEYS"), suffix = Property(install, L"SUFFIX");
  quillon::TypingOptions typing;
  if (keys.empty() && suffix.empty() && SwitchesInPlace(install, &typing)) {
    Message(install, INSTALLMESSAGE_INFO, L"Quillon: keeps the switches of the Run value it replaces.");
  } else if (!quillon::TypingFromProperties(keys, suffix, &typing)) {
    Message(install, INSTALLMESSAGE_ERROR,
            L"Quillon: KEYS=\"" + keys + L"\" SUFFIX=\"" + suffix +
                L"\" is not what Quillon takes: KEYS is unicode or layout, SUFFIX is enter or tab (or "
                L"leave either out). Nothing was installed.");
    return ERROR_INSTALL_FAILURE;
  }
  const std::wstring switches = quillon::TypingArguments(typing);
  MsiSetPropertyW(install, L"QUILLONARGS", switches.c_str());
  MsiSetPropertyW(install, L"QUILLONRUNARGS", switches.empty() ? L"" : (L" " + switches).c_str());
  Message(install, INSTALLMESSAGE_INFO,
          L"Quillon: it starts with " + (switches.empty() ? std::wstring(L"no switch") : switches) + L".");
  return ERROR_SUCCESS;
}

// Only the copies run from this install's folder: a copy of the other context
// (per user beside per machine) keeps running while this one is replaced or removed.
extern "C" __declspec(dllexport) UINT __stdcall ExitRunningQuillon(MSIHANDLE install) {
  const int result = ExitRunning(kExitRunningWaitMs, Property(install, L"INSTALLDIR"));
  Message(install, INSTALLMESSAGE_INFO,
          result == 0
              ? L"Quillon: no Quillon from its folder runs in this logon session any more."
              : L"Quillon: a Quillon from its folder still runs after 15 s and was not ended; its files "
                L"are replaced or removed once it ends, or at the next restart.");
  // Never fails the install: Windows Installer handles a file still in use.
  return ERROR_SUCCESS;
}
