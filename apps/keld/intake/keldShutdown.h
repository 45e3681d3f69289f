// The daemon's stop, as every thread sees it. The main thread sets the flag
// once, when it begins to shut down; from then on agents take no new
// records and sends to hubd give up at their next wait. An atomic flag: no
// lock, any thread may read it.
#pragma once

// Marks the shutdown as begun. Main thread.
void Shutdown_Begin(void);
// True once Shutdown_Begin has been called. Any thread.
bool Shutdown_Started(void);
// Clears the flag (tests only, no daemon running).
void Shutdown_ResetForTest(void);
