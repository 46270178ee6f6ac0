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

// How long held bytes may wait for the rest of their frame. A card is one burst, but
// the event thread can hand it over in two parts: bytes that arrive after it emptied
// the queue wait out its 500 ms pause, plus the converter's latency timer (16 ms by
// default). About twice that still drops leftovers long before the next card.
constexpr uint32_t kStaleAfterMs = 1000;

// As above, but first drops the held bytes when more than kStaleAfterMs passed
// since the previous byte (`lastByteMs`), so leftovers of noise or a cut frame never
// combine with the next card. `nowMs` is a millisecond tick that may wrap (as
// GetTickCount does); it is stored in `lastByteMs`.
bool DecodeRxByte(std::string& rxBuffer, uint32_t& lastByteMs, uint32_t nowMs, uintptr_t wParam,
                  std::string& text);

// printf-style formatting into a narrow string.
std::string FormatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace quillon
