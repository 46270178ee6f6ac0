// Prints how fast bytes from the fake reader reach the owner of a CSerialPort:
// delivered bytes/s for one long burst, and the latency from the write of each
// card-sized burst to each WM_SERIAL_RXCHAR (p50/p95). Run by scripts/bench-serial.sh.
//   serial_bench.exe [cardBursts=20] [longBurst=4000] [port=60]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MessageSink.h"
#include "serial/SerialMessages.h"
#include "serial/SerialPort.h"
#include "tests/support/reader/FakeReader.h"

namespace {

double g_ticksPerMs = 1;

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[index];
}

// Writes the bytes and returns the handling times of the WM_SERIAL_RXCHARs they caused.
bool SendAndTime(quillon_test::FakeReader& reader, MessageSink& sink, int port, const std::string& bytes,
                 LONGLONG* start, std::vector<LONGLONG>* arrivals) {
  size_t before = sink.Count(WM_SERIAL_RXCHAR);
  *start = Now();
  if (!reader.Write(port, bytes)) return false;
  if (!sink.WaitForCount(WM_SERIAL_RXCHAR, before + bytes.size(), 120000)) return false;
  arrivals->clear();
  size_t seen = 0;
  for (const SinkMessage& m : sink.Messages()) {
    if (m.message != WM_SERIAL_RXCHAR) continue;
    if (seen++ >= before) arrivals->push_back(m.ticks);
  }
  return sink.Bytes().substr(before) == bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const int bursts = argc > 1 ? atoi(argv[1]) : 20;
  const int longBurst = argc > 2 ? atoi(argv[2]) : 4000;
  const int port = argc > 3 ? atoi(argv[3]) : 60;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  g_ticksPerMs = frequency.QuadPart / 1000.0;

  quillon_test::FakeReader reader;
  if (!reader.Connected() || !reader.Plug(port)) {
    fprintf(stderr, "bench: fake reader: %s\n", reader.LastError().c_str());
    return 1;
  }
  const int shim = quillon_test::TiocmShimActive(port);
  MessageSink sink;
  CSerialPort serial;
  if (!serial.Open(sink.Window(), port, 9600, 'N', 8, 1, EV_RXCHAR | EV_RXFLAG) ||
      !serial.StartEventThread()) {
    fprintf(stderr, "bench: cannot open COM%d\n", port);
    return 1;
  }

  LONGLONG start = 0;
  std::vector<LONGLONG> arrivals;
  std::string data;
  for (int i = 0; i < longBurst; ++i) data.push_back(static_cast<char>(i * 31));
  if (!SendAndTime(reader, sink, port, data, &start, &arrivals)) {
    fprintf(stderr, "bench: the long burst did not arrive intact\n");
    return 1;
  }
  const double longMs = (arrivals.back() - start) / g_ticksPerMs;

  // Card-sized bursts at pseudo-random gaps (fixed seed), so writes fall at every point of
  // the event thread's cycle, as cards presented by hand do.
  std::vector<double> latencies;
  LONGLONG burstTicks = 0;
  unsigned seed = 12345;
  const std::string card("\x02\x00\x12\x34\x56\x78\x00\x00\x3e", 9);
  for (int b = 0; b < bursts; ++b) {
    seed = seed * 1103515245u + 12345u;
    Sleep((seed >> 16) % 700);
    if (!SendAndTime(reader, sink, port, card, &start, &arrivals)) {
      fprintf(stderr, "bench: card burst %d did not arrive intact\n", b);
      return 1;
    }
    for (LONGLONG t : arrivals) latencies.push_back((t - start) / g_ticksPerMs);
    burstTicks += arrivals.back() - start;
  }
  serial.Close();
  reader.Unplug(port);

  printf("shim: %s\n", shim == 1 ? "on" : "off");
  printf("long burst: %d bytes in %.0f ms = %.0f bytes/s\n", longBurst, longMs, longBurst * 1000.0 / longMs);
  printf("card bursts: %d x %zu bytes, %.0f bytes/s while a burst is in flight\n", bursts, card.size(),
         bursts * card.size() * 1000.0 / (burstTicks / g_ticksPerMs));
  printf("write -> WM_SERIAL_RXCHAR latency: p50 %.1f ms, p95 %.1f ms, max %.1f ms (%zu bytes)\n",
         Percentile(latencies, 0.5), Percentile(latencies, 0.95), Percentile(latencies, 1.0),
         latencies.size());
  return 0;
}
