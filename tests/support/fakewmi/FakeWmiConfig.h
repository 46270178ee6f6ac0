#pragma once
// What the test WMI provider answers, and its text form. The provider loads
// this text again at every parse, bind and query, so a test (or a script on the
// Linux side) can change the behaviour between two discovery runs of a program
// that runs in another process.
//
// Text form: UTF-8, one directive per line, "#" starts a comment line, blank
// lines are ignored. A directive is a keyword, one space or tab, and its value:
//
//   device NAME<TAB>PNPDEVICEID   one device; the collection keeps file order
//   filler N                      N devices "Filler device i", "ROOT\FILLER\i"
//   parse-fail HRESULT            ParseDisplayName fails with it
//   bind-fail HRESULT             BindToObject fails with it
//   query-fail HRESULT            ExecQuery fails with it
//   query-delay MS                ExecQuery sleeps this long before answering
//   read-delay MS                 each Name/PnPDeviceID read sleeps this long
//   query-hold EVENTNAME          ExecQuery waits (at most 5 minutes) until the
//                                 named event is signalled
//
// A device field is taken literally, except:
//   !null        the property reads as VT_NULL (what WMI gives for an unset
//                property; a read "as text" then fails in the caller's coercion)
//   !            the read fails with DISP_E_EXCEPTION (EXCEPINFO scode
//                WBEM_E_FAILED)
//   !0x8004...   the read fails with that HRESULT
//   !!text       the literal text "!text"
// HRESULTs are written as 0x hex or decimal. A failure of DISP_E_EXCEPTION
// always comes with an EXCEPINFO whose scode is WBEM_E_FAILED.

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {
namespace fakewmi {

constexpr HRESULT kWbemFailed = static_cast<HRESULT>(0x80041001);

// One property of a device: text, VT_NULL, or a failing read.
struct FakeValue {
  enum Kind { kText, kNull, kFail };
  Kind kind = kText;
  std::wstring text;
  HRESULT failure = S_OK;

  FakeValue() = default;
  FakeValue(const wchar_t* t) : text(t) {}           // NOLINT: a literal reads as a text value
  FakeValue(std::wstring t) : text(std::move(t)) {}  // NOLINT
  static FakeValue Null();
  static FakeValue Fail(HRESULT hr = DISP_E_EXCEPTION);
  bool operator==(const FakeValue& o) const;
};

struct FakeDevice {
  FakeValue name;
  FakeValue pnpDeviceId;
  bool operator==(const FakeDevice& o) const { return name == o.name && pnpDeviceId == o.pnpDeviceId; }
};

struct FakeWmiConfig {
  std::vector<FakeDevice> devices;  // in the order the enumeration yields them
  HRESULT parseFailure = S_OK;
  HRESULT bindFailure = S_OK;
  HRESULT queryFailure = S_OK;
  DWORD queryDelayMs = 0;
  DWORD readDelayMs = 0;
  std::wstring queryHoldEvent;  // empty: ExecQuery does not wait

  FakeWmiConfig& Add(FakeValue name, FakeValue pnpDeviceId);
  // count devices that never match a reader: "Filler device i", "ROOT\FILLER\i".
  FakeWmiConfig& AddFiller(unsigned count);

  // The text form; FromText(ToText()) gives the same configuration back.
  std::string ToText() const;
  // Parses the text form. On failure returns false and says which line and why.
  static bool FromText(const std::string& text, FakeWmiConfig* config, std::string* error);
};

std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);

}  // namespace fakewmi
}  // namespace quillon
