#pragma once
// The report's typing section: the window in front, the keys --keys layout would
// press on its keyboard layout for each digit, and whether Windows lets Quillon
// type into it at all (integrity levels).

#include "entry/ReportOutput.h"

void ReportKeys(CReportOutput& out);
