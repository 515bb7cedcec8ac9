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
// The system's handle of the window (an HWND of windows.h), for the calls
// that post to it: WSAAsyncSelect. Null before StartMessageWindow.
void* MessageWindowHandle();
// The messages that WSAAsyncSelect posts to the window go to `onSocket`
// (message, socket, lParam), for the socket back end (win32/Winsock.cpp),
// which picks them from this range: WM_APP + 0x100 up to the end of the
// range the system leaves to programs.
constexpr unsigned kFirstSocketMessage = 0x8100, kSocketMessageCount = 0xC000 - 0x8100;
void SetSocketMessageHandler(void (*onSocket)(unsigned msg, uintptr_t socket, intptr_t lParam));
// Blocks until a message arrives or `maxSeconds` pass (rounded up to the
// millisecond), then pumps; true when a message arrived.
bool WaitForSystemMessages(double maxSeconds);
