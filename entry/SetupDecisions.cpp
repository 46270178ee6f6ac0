#include "entry/SetupDecisions.h"

#include <vector>

#include "entry/CommandLine.h"

namespace quillon {

bool TypingFromProperties(const std::wstring& keys, const std::wstring& suffix, TypingOptions* typing) {
  std::vector<std::wstring> args;
  if (!keys.empty()) args.insert(args.end(), {L"--keys", keys});
  if (!suffix.empty()) args.insert(args.end(), {L"--suffix", suffix});
  *typing = TypingOptions();
  if (args.empty()) return true;
  const Command command = ParseCommandLine(args);
  if (command.kind != CommandKind::kTray) return false;
  *typing = command.typing;
  return true;
}

bool InstallsForMachine(const SetupContext& context) {
  if (context.maintenance && (context.registeredForUser || context.registeredForMachine))
    return !context.registeredForUser;
  return context.allUsers == L"1" || context.allUsers == L"2";
}

}  // namespace quillon
