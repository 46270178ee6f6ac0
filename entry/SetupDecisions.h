#pragma once
// What the installer's steps decide from its properties. Pure logic: the
// installer's session is read and written by entry/SetupAction.cpp.

#include <string>

#include "card/Keystrokes.h"

namespace quillon {

// The installer's KEYS and SUFFIX (empty when not given) as the program reads
// them: false when the program would refuse a value.
bool TypingFromProperties(const std::wstring& keys, const std::wstring& suffix, TypingOptions* typing);

// Whether this installer session is for the machine. A first install (or an
// upgrade, a new product) goes by ALLUSERS: Windows leaves it 1 or empty once it
// has chosen, Wine keeps a 2 and installs that for the machine too. Removal and
// repair go by where the product is registered, the user's first as Windows
// Installer looks; ALLUSERS is not given to them.
struct SetupContext {
  std::wstring allUsers;     // the ALLUSERS property
  bool maintenance = false;  // the product is installed (the Installed property)
  bool registeredForUser = false;
  bool registeredForMachine = false;
};
bool InstallsForMachine(const SetupContext& context);

}  // namespace quillon
