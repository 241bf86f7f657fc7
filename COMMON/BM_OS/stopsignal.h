// The program-wide stop request. A signal handler asks for it; from then on every wait of the
// program (Sleep, the socket waits, the loop's event wait) ends at once, so that a stop is never
// held up by a time-out.
#pragma once

// A descriptor that becomes readable once a stop is asked for (-1 if it could not be made).
// Made on first call: call it once before installing a handler that uses RequestStop.
int StopDescriptor();

// Asks for the stop. Async-signal-safe.
void RequestStop();

// True once a stop was asked for.
bool StopRequested();

// Forgets a stop request (tests that ask for one in-process).
void ClearStopRequest();
