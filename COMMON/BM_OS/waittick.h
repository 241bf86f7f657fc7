// The "still working" signal of the long waits that are working as designed: a download, a
// query's answer, an open message box or menu. The program registers one tick function (it
// feeds the service manager's watchdog); those waits call WaitTick now and then, so a launcher
// busy in them is not taken for a hung one. A wait that never ends or a call that hangs does not
// tick, which is the point.
#pragma once

using WaitTickFunction = void (*)();

// Registers the tick function (nullptr: none). Call from the thread that runs the waits.
void SetWaitTick(WaitTickFunction tick);

// Calls the registered function, at most once per kWaitTickMinGapMs on the program clock.
// Cheap when nothing is registered; never blocks by itself.
void WaitTick();

constexpr unsigned kWaitTickMinGapMs = 1000;
