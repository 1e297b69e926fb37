// The time a frame takes on the bus, for bus load figures: every tool that
// shows a load counts the bits the same way.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"

// Bits the frame occupies on the bus with the most stuff bits possible
// (start of frame to interframe space).
DWORD WorstCaseFrameBits(const RxMsg *msg);

// The share of a bus of bitRate bit/s that bits took during seconds, in
// percent (0 when seconds or bitRate is 0).
double BusLoadPercent(unsigned long long bits, double seconds, DWORD bitRate);
