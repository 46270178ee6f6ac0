#include "entry/LineWatch.h"

#include "automation/Automation.h"
#include "card/CardDecoder.h"
#include "discovery/DeviceArrival.h"
#include "discovery/ReaderLine.h"
#include "entry/Diagnose.h"
#include "serial/SerialPort.h"
#include "ui/ResumeBroadcasts.h"

using quillon::FormatString;

namespace {

// Received bytes further apart than this go on separate lines of the live view.
constexpr ULONGLONG kBurstGapMs = 50;
constexpr int kBytesPerLine = 16;
// A reopen that failed is tried again after this, for as long as the watch lasts.
constexpr ULONGLONG kReopenRetryMs = 1000;

// The live view: the port opened as discovery opens it, its bytes in hex, and each
// card as the number the main dialog's decoder gives for them.
class CLineWatch : public CReportWindow::CSerialSink {
 public:
  CLineWatch(CReportOutput& out, CReportWindow& window, int portNumber)
      : m_out(out), m_window(window), m_portNumber(portNumber) {
    m_window.SetSink(this);
  }
  ~CLineWatch() {
    m_serialPort.Close();
    m_window.SetSink(nullptr);
  }
  CLineWatch(const CLineWatch&) = delete;
  CLineWatch& operator=(const CLineWatch&) = delete;

  // Opens the port; false with the system's error when it did not open.
  bool Open(DWORD* error) {
    if (!m_window.Handle()) {
      *error = GetLastError();
      return false;
    }
    // Open leaves CreateFile's error in place when the device does not open.
    if (m_serialPort.Open(m_window.Handle(), m_portNumber, quillon::kReaderBaudRate, quillon::kReaderParity,
                          quillon::kReaderDataBits, quillon::kReaderStopBits, quillon::kReaderEventMask)) {
      return true;
    }
    *error = GetLastError();
    return false;
  }

  // What the tray program does after a resume or the reader's return: close the
  // opening, whatever it looks like, and open the port again; done from the watch
  // loop, never inside a message handler (Close answers messages while it waits).
  void Reopen() {
    m_reopen = false;
    m_serialPort.Close();
    FlushBytes();
    m_rxBuffer.clear();
    DWORD error = 0;
    if (Open(&error)) {
      m_serialPort.StartEventThread();
      m_out.Line(Stamp(Elapsed()) + FormatString("  reopened COM%d", m_portNumber));
      return;
    }
    m_out.Line(Stamp(Elapsed()) + FormatString("  COM%d did not open: error %lu, %s; trying again in 1 s",
                                               m_portNumber, error, SystemText(error).c_str()));
    AskReopen(Elapsed() + kReopenRetryMs);
  }

  void Watch(int seconds) {
    m_serialPort.StartEventThread();
    SYSTEMTIME now;
    GetLocalTime(&now);
    m_start = GetTickCount64();
    m_out.Line("");
    m_out.Line(
        FormatString("Watching COM%d for %d s from %02u:%02u:%02u local time (times below count from then); "
                     "present a card now.",
                     m_portNumber, seconds, now.wHour, now.wMinute, now.wSecond));
    const ULONGLONG total = static_cast<ULONGLONG>(seconds) * 1000;
    // A close asked before the watch began (during a slow device query) is a message waiting here.
    CReportWindow::Pump();
    while (!m_lost && !m_window.StopAsked()) {
      const ULONGLONG elapsed = Elapsed();
      if (elapsed >= total) break;
      DWORD wait = static_cast<DWORD>(total - elapsed);
      if (m_lineBytes > 0 && wait > kBurstGapMs) wait = kBurstGapMs;
      if (m_reopen && m_reopenAt < elapsed + wait)
        wait = m_reopenAt > elapsed ? static_cast<DWORD>(m_reopenAt - elapsed) : 0;
      MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      CReportWindow::Pump();
      if (m_lineBytes > 0 && Elapsed() - m_lastByteAt >= kBurstGapMs) FlushBytes();
      if (m_reopen && Elapsed() >= m_reopenAt && !m_window.StopAsked()) Reopen();
    }
    const ULONGLONG watched = Elapsed();
    // Bytes the event thread is sending meanwhile are still taken in.
    m_serialPort.Close();
    FlushBytes();
    if (m_window.StopAsked() && !m_lost)
      m_out.Line(Stamp(watched) + "  asked to end (Quillon --exit, or the session ends): stopped watching");
    m_out.Line(FormatString("Watched COM%d for %llu s: %llu bytes, %llu cards.", m_portNumber,
                            (watched + 500) / 1000, m_bytes, m_cards));
  }

 private:
  void OnRxChar(WPARAM wParam) override {
    const ULONGLONG now = Elapsed();
    if (m_lineBytes > 0 && (now - m_lastByteAt >= kBurstGapMs || m_lineBytes == kBytesPerLine)) FlushBytes();
    if (m_lineBytes == 0) m_lineStart = now;
    m_line += FormatString(" %02X", static_cast<unsigned>(wParam & 0xFF));
    ++m_lineBytes;
    ++m_bytes;
    m_lastByteAt = now;
    std::string text;
    if (quillon::DecodeRxByte(m_rxBuffer, m_rxLastTick, GetTickCount(), wParam, text)) {
      FlushBytes();
      ++m_cards;
      // The number zero comes out as no digits at all.
      m_out.Line(Stamp(now) + "  card " + (text.empty() ? "0 (types nothing)" : text));
    }
  }

  void OnLost() override {
    // A loss reported by an opening that a reopen has already replaced changes nothing.
    if (!m_serialPort.CloseAfterLoss()) return;
    m_lost = true;
    m_reopen = false;
    FlushBytes();
    m_out.Line(Stamp(Elapsed()) + "  the port has gone (reader unplugged?): stopped watching");
  }

  void OnPower(WPARAM event) override {
    if (event == PBT_APMSUSPEND) Note("the system suspends (sleep); the port stays open");
    const bool resume =
        event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND || event == PBT_APMRESUMECRITICAL;
    if (!m_resumes.IsNewResume(event, GetTickCount64())) {
      if (resume) Note("the system resumed (the same resume, now with a person at the desk)");
      return;
    }
    Note(FormatString("the system resumed from sleep: reopening COM%d, as Quillon does", m_portNumber));
    AskReopen(Elapsed());
  }

  void OnArrival(const DEV_BROADCAST_HDR* header) override {
    // Any other arrival: Quillon leaves its opening alone.
    if (!quillon::IsReaderArrival(header, m_portNumber)) return;
    Note(FormatString(
        "COM%d arrived again (the reader came back as a new device): reopening it, as Quillon does",
        m_portNumber));
    AskReopen(Elapsed());
  }

  void AskReopen(ULONGLONG at) {
    m_reopen = true;
    m_reopenAt = at;
  }

  void Note(const std::string& text) {
    FlushBytes();
    m_out.Line(Stamp(Elapsed()) + "  " + text);
  }

  void FlushBytes() {
    if (m_lineBytes == 0) return;
    m_out.Line(Stamp(m_lineStart) + "  bytes" + m_line);
    m_line.clear();
    m_lineBytes = 0;
  }

  static std::string Stamp(ULONGLONG ms) { return FormatString("%8.3f s", static_cast<double>(ms) / 1000.0); }
  ULONGLONG Elapsed() const { return GetTickCount64() - m_start; }

  CReportOutput& m_out;
  CReportWindow& m_window;
  int m_portNumber;
  CSerialPort m_serialPort;
  std::string m_rxBuffer;
  uint32_t m_rxLastTick = 0;
  ULONGLONG m_start = 0;
  bool m_lost = false;
  bool m_reopen = false;  // the port is to be reopened at m_reopenAt (an Elapsed() time)
  ULONGLONG m_reopenAt = 0;
  CResumeBroadcasts m_resumes;
  unsigned long long m_bytes = 0;
  unsigned long long m_cards = 0;
  std::string m_line;  // hex of the bytes not yet written out
  int m_lineBytes = 0;
  ULONGLONG m_lineStart = 0;
  ULONGLONG m_lastByteAt = 0;
};

}  // namespace

int WatchReaderLine(CReportOutput& out, CReportWindow& window, int port, int seconds) {
  out.Line("");
  const std::string line =
      FormatString("COM%d at %d %d%c%d", port, quillon::kReaderBaudRate, quillon::kReaderDataBits,
                   quillon::kReaderParity, quillon::kReaderStopBits);
  CLineWatch watch(out, window, port);
  DWORD error = 0;
  if (!watch.Open(&error)) {
    out.Line(
        FormatString("Opening %s failed: error %lu, %s", line.c_str(), error, SystemText(error).c_str()));
    if (error == ERROR_ACCESS_DENIED) {
      out.Line(
          "Another program holds the port: end it (a terminal, another card program, a Quillon of "
          "another user) and run this again.");
    }
    return kDiagnoseOpenFailed;
  }
  out.Line(FormatString("Opened %s.", line.c_str()));
  watch.Watch(seconds);
  return kDiagnoseReaderOpened;
}
