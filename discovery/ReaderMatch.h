#pragma once
// Recognising the card reader among the system's plug-and-play devices by its
// display name and device identifier. Pure text logic.

namespace quillon {

// Null-terminated list of hardware identifiers that mark the reader.
extern const char* const g_readerDeviceIds[];

// True when the display name carries a COM port: "(COM", case-sensitive.
bool HasPortMarker(const char* name);

// True when the display name carries a COM port ("(COM", case-sensitive) and
// the identifier contains one of g_readerDeviceIds. Null texts never match.
bool IsReaderDevice(const char* name, const char* deviceId);

// The port number written after the first "(COM" of the name, up to the next
// "(" or ")" or the end: leading blanks and a sign allowed, then digits.
// 0 when there is no marker, no digits, or the number does not fit an int.
int PortNumberFromName(const char* name);

}  // namespace quillon
