#pragma once

#include <QtGlobal>

// Peak resident set size of this process in KiB (VmHWM); -1 when unknown.
qint64 peakRssKiB();
// Starts a new peak measurement from the current resident size.
void resetPeakRss();
