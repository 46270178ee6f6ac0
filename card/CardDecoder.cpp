#include "card/CardDecoder.h"

#include <cstdarg>
#include <cstdio>

namespace quillon {
namespace {

uint64_t ReadBigEndian(const std::string& bytes, size_t first, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[first + i]);
  return value;
}

// True when the byte at first+count equals the XOR of the `count` bytes before it.
bool ChecksumMatches(const std::string& bytes, size_t first, size_t count) {
  unsigned char x = 0;
  for (size_t i = 0; i < count; ++i) x ^= static_cast<unsigned char>(bytes[first + i]);
  return x == static_cast<unsigned char>(bytes[first + count]);
}

}  // namespace

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

bool DecodeRxByte(std::string& rxBuffer, uintptr_t wParam, std::string& text) {
  rxBuffer.push_back(static_cast<char>(wParam & 0xFF));
  if (rxBuffer.size() > kRxWindow) rxBuffer.erase(0, 1);
  const size_t n = rxBuffer.size();

  if (n == 9 && ChecksumMatches(rxBuffer, 0, 8)) {
    const unsigned long long number = ReadBigEndian(rxBuffer, 0, 8);
    rxBuffer.clear();
    text = FormatString("%llu", number);
  } else {
    if (n < 5) return false;
    size_t start = 0;
    while (start + 4 < n && !ChecksumMatches(rxBuffer, start, 4)) ++start;
    if (start + 4 >= n) return false;
    const unsigned long number = static_cast<unsigned long>(ReadBigEndian(rxBuffer, start, 4));
    // The frame goes, and whatever stood in front of it with it.
    rxBuffer.erase(0, start + 5);
    text = FormatString("%lu", number);
  }
  // Only the number zero has a leading zero: its frame types nothing.
  const size_t firstDigit = text.find_first_not_of('0');
  text.erase(0, firstDigit == std::string::npos ? text.size() : firstDigit);
  return true;
}

bool DecodeRxByte(std::string& rxBuffer, uint32_t& lastByteMs, uint32_t nowMs, uintptr_t wParam,
                  std::string& text) {
  // Unsigned difference: right across the tick counter's wrap.
  if (!rxBuffer.empty() && nowMs - lastByteMs > kStaleAfterMs) rxBuffer.clear();
  lastByteMs = nowMs;
  return DecodeRxByte(rxBuffer, wParam, text);
}

}  // namespace quillon
