#pragma once
// The report's live view of the reader's line: the port opened as discovery opens
// it, every byte in hex with its time, and each card as the number the tray
// program would type.

#include "entry/ReportOutput.h"

// Opens COM<port> and watches it for `seconds`, or until asked to end or the port
// goes. A DiagnoseStatus: the reader opened, or its port did not open.
int WatchReaderLine(CReportOutput& out, CReportWindow& window, int port, int seconds);
