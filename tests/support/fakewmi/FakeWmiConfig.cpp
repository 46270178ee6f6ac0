#include "tests/support/fakewmi/FakeWmiConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace quillon {
namespace fakewmi {

FakeValue FakeValue::Null() {
  FakeValue v;
  v.kind = kNull;
  return v;
}

FakeValue FakeValue::Fail(HRESULT hr) {
  FakeValue v;
  v.kind = kFail;
  v.failure = hr;
  return v;
}

bool FakeValue::operator==(const FakeValue& o) const {
  if (kind != o.kind) return false;
  if (kind == kText) return text == o.text;
  if (kind == kFail) return failure == o.failure;
  return true;
}

FakeWmiConfig& FakeWmiConfig::Add(FakeValue name, FakeValue pnpDeviceId) {
  devices.push_back({std::move(name), std::move(pnpDeviceId)});
  return *this;
}

FakeWmiConfig& FakeWmiConfig::AddFiller(unsigned count) {
  for (unsigned i = 1; i <= count; ++i) {
    wchar_t name[40], id[40];
    swprintf(name, 40, L"Filler device %u", i);
    swprintf(id, 40, L"ROOT\\FILLER\\%04u", i);
    Add(name, id);
  }
  return *this;
}

std::wstring Utf8ToWide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string WideToUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

namespace {

std::string HexHr(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

std::string FieldText(const FakeValue& v) {
  switch (v.kind) {
    case FakeValue::kNull:
      return "!null";
    case FakeValue::kFail:
      return v.failure == DISP_E_EXCEPTION ? "!" : "!" + HexHr(v.failure);
    case FakeValue::kText:
      break;
  }
  std::string t = WideToUtf8(v.text);
  return (!t.empty() && t[0] == '!') ? "!" + t : t;
}

// A whole-string number: decimal or 0x hex, 32 bits.
bool ParseNumber(const std::string& s, unsigned long* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<unsigned long>(v);
  return true;
}

bool ParseField(const std::string& s, FakeValue* out) {
  if (s.empty() || s[0] != '!') {
    *out = FakeValue(Utf8ToWide(s));
    return true;
  }
  if (s == "!null") {
    *out = FakeValue::Null();
  } else if (s == "!") {
    *out = FakeValue::Fail();
  } else if (s[1] == '!') {
    *out = FakeValue(Utf8ToWide(s.substr(1)));
  } else {
    unsigned long hr;
    if (!ParseNumber(s.substr(1), &hr) || static_cast<HRESULT>(hr) >= 0) return false;
    *out = FakeValue::Fail(static_cast<HRESULT>(hr));
  }
  return true;
}

}  // namespace

std::string FakeWmiConfig::ToText() const {
  std::string t;
  if (parseFailure != S_OK) t += "parse-fail " + HexHr(parseFailure) + "\n";
  if (bindFailure != S_OK) t += "bind-fail " + HexHr(bindFailure) + "\n";
  if (queryFailure != S_OK) t += "query-fail " + HexHr(queryFailure) + "\n";
  if (queryDelayMs) t += "query-delay " + std::to_string(queryDelayMs) + "\n";
  if (readDelayMs) t += "read-delay " + std::to_string(readDelayMs) + "\n";
  if (!queryHoldEvent.empty()) t += "query-hold " + WideToUtf8(queryHoldEvent) + "\n";
  for (const FakeDevice& d : devices)
    t += "device " + FieldText(d.name) + "\t" + FieldText(d.pnpDeviceId) + "\n";
  return t;
}

bool FakeWmiConfig::FromText(const std::string& text, FakeWmiConfig* config, std::string* error) {
  FakeWmiConfig c;
  size_t pos = 0;
  int lineNo = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A UTF-8 byte order mark from a Windows editor.
    if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;

    size_t sep = line.find_first_of(" \t");
    if (sep == std::string::npos) return fail("directive without a value");
    const std::string key = line.substr(0, sep);
    const std::string value = line.substr(sep + 1);
    unsigned long n = 0;
    if (key == "device") {
      size_t tab = value.find('\t');
      if (tab == std::string::npos) return fail("device needs NAME<TAB>PNPDEVICEID");
      FakeDevice d;
      if (!ParseField(value.substr(0, tab), &d.name) || !ParseField(value.substr(tab + 1), &d.pnpDeviceId))
        return fail("bad device field");
      c.devices.push_back(std::move(d));
    } else if (key == "filler") {
      if (!ParseNumber(value, &n) || n > 1000000) return fail("bad filler count");
      c.AddFiller(n);
    } else if (key == "parse-fail" || key == "bind-fail" || key == "query-fail") {
      if (!ParseNumber(value, &n) || static_cast<HRESULT>(n) >= 0) return fail("not a failure HRESULT");
      HRESULT& slot = key[0] == 'p' ? c.parseFailure : key[0] == 'b' ? c.bindFailure : c.queryFailure;
      slot = static_cast<HRESULT>(n);
    } else if (key == "query-delay" || key == "read-delay") {
      if (!ParseNumber(value, &n) || n > 600000) return fail("bad delay");
      (key[0] == 'q' ? c.queryDelayMs : c.readDelayMs) = n;
    } else if (key == "query-hold") {
      if (value.empty()) return fail("query-hold needs an event name");
      c.queryHoldEvent = Utf8ToWide(value);
    } else {
      return fail("unknown directive \"" + key + "\"");
    }
  }
  *config = std::move(c);
  return true;
}

}  // namespace fakewmi
}  // namespace quillon
