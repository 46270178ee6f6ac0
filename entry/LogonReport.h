#pragma once
// The report's section on the start at logon: which Run value names which
// program, whether that program is there, whether Startup apps switched it off,
// and the typing it would start with.

#include "entry/ReportOutput.h"

void ReportStartAtLogon(CReportOutput& out);
