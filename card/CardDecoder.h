#pragma once
// Card frame decoding: a sliding window over the newest received bytes that
// recognises the reader's frames by their trailing XOR check byte.
//
//   9-byte frame: 8 data bytes (big-endian 64-bit number) + XOR of them
//   5-byte frame: 4 data bytes (big-endian 32-bit number) + XOR of them
//
// Pure logic: no windows, no threads. The receive buffer is a length-counted
// byte string (0x00 is an ordinary byte) owned by the caller.

#include <cstdint>
#include <string>

namespace quillon {

// The most bytes the window keeps between two received bytes.
constexpr size_t kRxWindow = 9;

// Feeds one received byte into `rxBuffer`. Only the low 8 bits of `wParam` (the
// value of a received-byte message) are used. Returns true when a frame
// completed; `text` then holds the number in decimal without leading zeros
// (empty for the number zero) and the frame's bytes have been consumed.
bool DecodeRxByte(std::string& rxBuffer, uintptr_t wParam, std::string& text);

// printf-style formatting into a narrow string.
std::string FormatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace quillon
