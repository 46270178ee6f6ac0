#pragma once
// The report's first sections: who and where (the program, Windows, another copy
// running), and the devices as discovery judges them.

#include "entry/ReportOutput.h"

// Writes the report's heading; true when another copy holds the single-instance
// guard. Only looks: the guard is never created here.
bool ReportWhoAndWhere(CReportOutput& out);

// The discovery's pass, made on this thread, every device with a COM port listed.
// The port Quillon would open, 0 for none, -1 when the management service failed.
int ReportDevices(CReportOutput& out);
