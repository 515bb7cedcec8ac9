#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace testing_support;

namespace {
struct Recorder {
    std::vector<std::pair<UINT, WPARAM>> got;
    std::thread::id thread;
};
LRESULT RecordProc(HWND wnd, UINT msg, WPARAM w, LPARAM) {
    auto* r = static_cast<Recorder*>(GetWindowOwner(wnd));
    r->got.emplace_back(msg, w);
    r->thread = std::this_thread::get_id();
    return 0;
}
}  // namespace

TEST(EventLoop, PostedMessagesArriveInOrderAndDestroyedWindowsGetNothing) {
    Recorder rec, gone;
    HWND w = CreateMessageWindow(RecordProc, &rec);
    HWND dead = CreateMessageWindow(RecordProc, &gone);
    for (WPARAM i = 0; i < 5; ++i) PostMessage(w, WM_USER + 1, i, 0);
    PostMessage(dead, WM_USER, 0, 0);
    DestroyWindow(dead);
    EXPECT_TRUE(rec.got.empty()) << "nothing runs before the loop does";
    EventLoop::ProcessMessages();
    ASSERT_EQ(rec.got.size(), 5u);
    for (WPARAM i = 0; i < 5; ++i) EXPECT_EQ(rec.got[i].second, i);
    EXPECT_TRUE(gone.got.empty());
    DestroyWindow(w);
}

TEST(EventLoop, TimerTicksPeriodicallyUntilKilled) {
    Recorder rec;
    HWND w = CreateMessageWindow(RecordProc, &rec);
    ASSERT_TRUE(SetTimer(w, 1, 20));
    ASSERT_TRUE(PumpUntil([&] { return rec.got.size() >= 3; }, 2));
    EXPECT_EQ(rec.got[0].first, WM_TIMER);
    EXPECT_EQ(rec.got[0].second, 1u);
    KillTimer(w, 1);
    size_t n = rec.got.size();
    PumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(rec.got.size(), n);
    EXPECT_FALSE(SetTimer(0x7FFFFFF, 1, 10)) << "no timer for a window that does not exist";
    DestroyWindow(w);
}

// A wait that does not wake when it should lasts its full ten seconds (or
// for ever): ceilings of a few seconds tell it from a slow, busy machine.
TEST(EventLoop, ProcessMessagesNeverBlocks) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EventLoop::ProcessMessages();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(EventLoop, WaitWakesForAMessageFromAnotherThreadAndHonoursItsDeadline) {
    Recorder rec;
    HWND w = CreateMessageWindow(RecordProc, &rec);
    std::thread t([w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PostMessage(w, WM_USER + 7, 7, 0);
    });
    auto start = std::chrono::steady_clock::now();
    while (rec.got.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        EventLoop::WaitForEvent(10);
    auto took = std::chrono::steady_clock::now() - start;
    t.join();
    ASSERT_EQ(rec.got.size(), 1u);
    EXPECT_EQ(rec.thread, std::this_thread::get_id()) << "handled on the UI thread";
    EXPECT_LT(took, std::chrono::seconds(5)) << "the wait woke for the message";

    start = std::chrono::steady_clock::now();
    EventLoop::WaitForEvent(0.2);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(150));
    EXPECT_LT(took, std::chrono::seconds(5));
    DestroyWindow(w);
}

TEST(EventLoop, WaitWakesForATimer) {
    Recorder rec;
    HWND w = CreateMessageWindow(RecordProc, &rec);
    SetTimer(w, 3, 30);
    auto start = std::chrono::steady_clock::now();
    EventLoop::WaitForEvent(10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(rec.got.empty());
    DestroyWindow(w);  // also stops its timers
}

TEST(EventLoop, ATaskThatKeepsPostingItselfDoesNotStarveTimers) {
    Recorder rec;
    HWND w = CreateMessageWindow(RecordProc, &rec);
    SetTimer(w, 1, 20);
    bool stop = false;
    std::function<void()> again = [&] { if (!stop) PostTask(again); };
    PostTask(again);
    EXPECT_TRUE(PumpUntil([&] { return !rec.got.empty(); }, 3.0));
    stop = true;
    KillTimer(w, 1);
    EventLoop::ProcessMessages();
    DestroyWindow(w);
}
