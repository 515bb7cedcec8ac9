// The one hidden message-only window of the UI thread, through which the
// event loop of EventLoop.cpp meets the system's: posted work wakes it and
// the loop waits on its queue. Apart
// from EventLoop.cpp because our HWND and the system's cannot meet in one
// file.
#pragma once
#include <cstdint>

// Made on the first call, on the thread that will run the loop. `onWake`
// runs for each wake-up.
void StartMessageWindow(void (*onWake)());
// Any thread: one wake-up message.
void WakeMessageWindow();
// Dispatches the messages queued now (wake-ups, windows' input); never
// blocks.
void PumpSystemMessages();
// Blocks until a message arrives or `maxSeconds` pass (rounded up to the
// millisecond), then pumps; true when a message arrived.
bool WaitForSystemMessages(double maxSeconds);
