#include "entry/KeysReport.h"

#include <string>

#include "card/CardDecoder.h"
#include "card/KeyPlan.h"
#include "card/Keystrokes.h"

using quillon::FormatString;

namespace {

std::string WindowTitle(HWND window) {
  char title[256] = {};
  GetWindowTextA(window, title, ARRAYSIZE(title));
  return title;
}

std::string ProgramOf(DWORD process) {
  std::string name = "a program Quillon may not look at";
  if (HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process)) {
    char path[MAX_PATH * 2];
    DWORD size = ARRAYSIZE(path);
    if (QueryFullProcessImageNameA(h, 0, path, &size)) name = path;
    CloseHandle(h);
  }
  return name;
}

// "00000409 (English, United States)": the layout handle and the language it is for.
std::string LayoutName(HKL layout) {
  const LCID locale = MAKELCID(LOWORD(reinterpret_cast<UINT_PTR>(layout)), SORT_DEFAULT);
  char language[128] = {}, country[128] = {};
  GetLocaleInfoA(locale, LOCALE_SENGLANGUAGE, language, ARRAYSIZE(language));
  GetLocaleInfoA(locale, LOCALE_SENGCOUNTRY, country, ARRAYSIZE(country));
  std::string text = FormatString("%08lX", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(layout)));
  if (language[0]) text += FormatString(" (%s%s%s)", language, country[0] ? ", " : "", country);
  return text;
}

}  // namespace

void ReportKeys(CReportOutput& out) {
  out.Line("");
  const quillon::TypingTarget target = quillon::FindTypingTarget();
  if (target.verdict == quillon::TargetVerdict::kNoWindow) {
    out.Line(
        "No window is in front (another desktop has the input: the lock screen or an elevation prompt). "
        "A card would type nothing now, and Quillon would sound its error.");
    return;
  }
  out.Line(FormatString("The window in front: \"%s\", of %s.", WindowTitle(target.window).c_str(),
                        ProgramOf(target.process).c_str()));

  const bool capsLock = quillon::CapsLockOn();
  const quillon::CSystemLayout layout(target.layout);
  out.Line(
      FormatString("With --keys layout a card would be typed on its keyboard layout %s, CapsLock %s, as:",
                   LayoutName(target.layout).c_str(), capsLock ? "on" : "off"));
  for (char c = '0'; c <= '9'; ++c) {
    const quillon::DigitKey key = quillon::PlanDigit(layout, static_cast<wchar_t>(c), capsLock);
    if (key.unicode) {
      out.Line(FormatString("  %c  a Unicode character: no key of this layout types it with Shift alone", c));
    } else {
      out.Line(FormatString("  %c  %skey 0x%02X, scan code 0x%02X", c, key.shift ? "Shift + " : "", key.vk,
                            key.scan));
    }
  }
  out.Line("(Without --keys layout every digit is a Unicode character, whatever the layout.)");

  const std::string own = quillon::IntegrityName(target.ownIntegrity);
  const std::string theirs = quillon::IntegrityName(target.integrity);
  if (target.verdict == quillon::TargetVerdict::kHigherIntegrity) {
    out.Line(FormatString(
        "It could not be typed into: its program runs at %s integrity (as administrator, for one), Quillon "
        "at "
        "%s, and Windows drops keys sent to it without a word. Quillon sounds its error instead. Run that "
        "program without administrator rights, or Quillon with them.",
        target.integrity ? theirs.c_str() : "a higher", own.c_str()));
  } else if (target.integrity == 0) {
    out.Line(FormatString(
        "It could be typed into: its integrity level could not be read, but Windows takes messages from "
        "Quillon (at %s integrity) to it.",
        own.c_str()));
  } else {
    out.Line(FormatString("It could be typed into: its program runs at %s integrity, Quillon at %s.",
                          theirs.c_str(), own.c_str()));
  }
}
