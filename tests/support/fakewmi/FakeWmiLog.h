#pragma once
// The test WMI provider's call log: one UTF-8 line per call that matters,
// appended by whichever process has the provider loaded, so a test in another
// process can count discovery runs and wait for one to be in progress.
//
//   classobject pid=P tid=T            DllGetClassObject was asked for the class
//   parse pid=P tid=T hr=0x... name=DISPLAYNAME
//   bind pid=P tid=T hr=0x... iid=IID
//   query-begin pid=P tid=T query=TEXT  ExecQuery entered (before any delay/hold)
//   query-end pid=P tid=T hr=0x... devices=N
//   enum-begin pid=P tid=T             an enumerator was handed out
//   enum-end pid=P tid=T fetched=N     an enumerator was released
//   service-begin / service-end        a service object was made / destroyed
//   config-error pid=P tid=T why=TEXT  the configuration could not be read;
//                                      the call failed with E_UNEXPECTED
//
// The first word of a line is its event; "query-begin" minus "query-end" is the
// number of queries in progress, "enum-begin" minus "enum-end" the number of
// enumerators alive.

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {
namespace fakewmi {

// Appends "event pid=.. tid=.. rest" as one line. Serialised across processes,
// so lines of concurrent callers never interleave. An empty path logs nothing.
void AppendLog(const std::wstring& path, const char* event, const std::string& rest);

class FakeWmiLog {
 public:
  explicit FakeWmiLog(std::wstring path) : m_path(std::move(path)) {}
  const std::wstring& Path() const { return m_path; }

  std::vector<std::string> Lines() const;
  // Lines whose first word is `event`.
  int Count(const char* event) const;
  // Waits until Count(event) >= count; false when timeoutMs passed first.
  bool WaitForCount(const char* event, int count, DWORD timeoutMs) const;
  int QueriesInProgress() const { return Count("query-begin") - Count("query-end"); }
  int EnumeratorsAlive() const { return Count("enum-begin") - Count("enum-end"); }
  int ServicesAlive() const { return Count("service-begin") - Count("service-end"); }
  // Empties the log.
  void Clear() const;

 private:
  std::wstring m_path;
};

}  // namespace fakewmi
}  // namespace quillon
