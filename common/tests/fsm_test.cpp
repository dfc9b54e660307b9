// Tests of the state-machine engine: tables, nested posts, termination, timers and the expiry races.
#include "common/fsm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/debug.h"
#include "platform/mmtimer.h"
#include "platform/sync.h"

namespace {

std::mutex g_linesMutex;
std::vector<std::string> g_lines;

void CaptureTrace(unsigned, const char* text) {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    g_lines.push_back(text);
}

std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    return g_lines;
}

constexpr int ST_IDLE = 0, ST_BUSY = 1, NUM_STATES = 3;
constexpr int EV_GO = 0, EV_NEST = 1, EV_INNER = 2, EV_END = 3, EV_TICK = 4, EV_UNUSED = 5, NUM_EVENTS = 6;
const char* const kStateNames[] = {"idle", "busy", "done"};
const char* const kEventNames[] = {"go", "nest", "inner", "end", "tick", "unused"};

// What the actions observed, in order.
struct Journal {
    std::vector<std::string> steps;
    std::atomic<int> ticks{0};
    std::atomic<FsmArg> lastTickArg{0};
    uint32_t innerDepth = 0;
    int nestedResult = -1;
    int refusedResult = -1;
};

Journal* JournalOf(FsmInstance* fsm) { return reinterpret_cast<Journal*>(fsm->owner); }

int ActGo(FsmInstance* fsm, int, FsmArg) {
    JournalOf(fsm)->steps.push_back("go");
    ChangeState(fsm, ST_BUSY);
    return 0;
}

int ActNest(FsmInstance* fsm, int, FsmArg) {
    Journal* j = JournalOf(fsm);
    j->steps.push_back("nest-begin");
    j->nestedResult = FsmPostEventNoLock(fsm, EV_INNER, 5);
    j->steps.push_back("nest-end");
    return 0;
}

int ActInner(FsmInstance* fsm, int, FsmArg arg) {
    Journal* j = JournalOf(fsm);
    j->innerDepth = fsm->depth;
    j->steps.push_back("inner " + std::to_string(arg));
    return 0;
}

int ActEnd(FsmInstance* fsm, int, FsmArg) {
    Journal* j = JournalOf(fsm);
    j->steps.push_back("end");
    ChangeState(fsm, FSM_STATE_TERMINATED);
    // The machine has ended: this second event is refused and nothing runs.
    j->refusedResult = FsmPostEventNoLock(fsm, EV_GO, 0);
    j->steps.push_back("end-after");
    return 0;
}

int ActTick(FsmInstance* fsm, int, FsmArg arg) {
    Journal* j = JournalOf(fsm);
    j->lastTickArg = arg;
    ++j->ticks;
    return 0;
}

const FsmRow kRows[] = {
    {ST_IDLE, EV_GO, &ActGo},     {ST_BUSY, EV_NEST, &ActNest}, {ST_BUSY, EV_INNER, &ActInner},
    {ST_BUSY, EV_END, &ActEnd},   {ST_IDLE, EV_TICK, &ActTick}, {ST_BUSY, EV_TICK, &ActTick},
    {ST_IDLE, EV_END, &ActEnd},
};

class CommonFsmTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedOutput_ = g_debugOutput.load();
        DebugInit();
        debug_enable = 1;
        debug_all = 0;
        DebugSetModLevel(MOD_PRESENCE, 1);
        g_debugOutput = &CaptureTrace;
        {
            std::lock_guard<std::mutex> lock(g_linesMutex);
            g_lines.clear();
        }
    }
    void TearDown() override {
        g_debugOutput = savedOutput_;
        DebugInit();
        debug_enable = 0;
    }

    // A machine in state idle; the caller owns `extraRef` additional table references.
    FsmInstance* Make(Journal* journal, bool names = true, uint32_t extraRef = 0, const char* name = "Login") {
        FsmTable* table = FsmCreateTable(kRows, std::size(kRows), NUM_STATES, NUM_EVENTS);
        EXPECT_NE(table, nullptr);
        if (names) {
            table->stateNames = kStateNames;
            table->eventNames = kEventNames;
        }
        table->refCount += extraRef;
        FsmInstance* fsm = StartOn(table, journal, name);
        EXPECT_NE(fsm, nullptr);
        return fsm;
    }

    // A machine on `table` in state idle, its actions writing to `journal`.
    static FsmInstance* StartOn(FsmTable* table, Journal* journal, const char* name) {
        FsmInstance* fsm = FsmCreate(reinterpret_cast<uintptr_t>(journal), name);
        if (fsm == nullptr) return nullptr;
        fsm->table = table;
        ChangeState(fsm, ST_IDLE);
        return fsm;
    }

    static void FreeTable(FsmTable* table) {
        delete[] table->cells;
        delete table;
    }

    DebugOutputFn savedOutput_ = nullptr;
};

TEST_F(CommonFsmTest, TableKeepsLastRowAndSkipsRowsOutsideIt) {
    const FsmRow rows[] = {
        {ST_IDLE, EV_GO, &ActGo}, {ST_IDLE, EV_GO, &ActTick}, {NUM_STATES, EV_GO, &ActGo},
        {ST_IDLE, NUM_EVENTS, &ActGo}, {-1, EV_GO, &ActGo},
    };
    FsmTable* table = FsmCreateTable(rows, std::size(rows), NUM_STATES, NUM_EVENTS);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->refCount, 1u);
    EXPECT_EQ(table->cells[EV_GO * NUM_STATES + ST_IDLE], &ActTick);
    int stored = 0;
    for (uint32_t i = 0; i < NUM_STATES * NUM_EVENTS; ++i) stored += table->cells[i] != nullptr;
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(Lines().size(), 3u);  // one report per row outside the table
    FreeTable(table);
}

TEST_F(CommonFsmTest, EmptyCellIsConsumedAndTraced) {
    Journal j;
    FsmInstance* fsm = Make(&j);
    EXPECT_EQ(FsmPostEvent(fsm, EV_UNUSED, 0), 1);
    EXPECT_EQ(FsmGetState(fsm), ST_IDLE);
    EXPECT_EQ(fsm->events.count, 0u);
    EXPECT_EQ(Lines().back(), "Login: State idle Event unused no routine\n");

    // An event number outside the table is consumed the same way, never indexed.
    EXPECT_EQ(FsmPostEvent(fsm, 1000, 0), 1);
    EXPECT_EQ(FsmPostEvent(fsm, -3, 0), 1);
    EXPECT_EQ(fsm->events.count, 0u);

    EXPECT_EQ(FsmPostEvent(fsm, EV_GO, 0), 0);
    EXPECT_EQ(FsmGetState(fsm), ST_BUSY);
    std::vector<std::string> lines = Lines();
    EXPECT_EQ(lines[lines.size() - 2], "Login: State idle Event go Processed\n");
    EXPECT_EQ(lines.back(), "Login: ChangeState to busy\n");
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, NoTraceWithoutStateNames) {
    Journal j;
    FsmInstance* fsm = Make(&j, false);
    FsmPostEvent(fsm, EV_GO, 0);
    FsmPostEvent(fsm, EV_UNUSED, 0);
    DelTimer(fsm, 9);
    EXPECT_TRUE(Lines().empty());
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, NestedPostRunsDepthFirst) {
    Journal j;
    FsmInstance* fsm = Make(&j);
    FsmPostEvent(fsm, EV_GO, 0);
    EXPECT_EQ(FsmPostEvent(fsm, EV_NEST, 0), 0);
    EXPECT_EQ(j.steps, (std::vector<std::string>{"go", "nest-begin", "inner 5", "nest-end"}));
    EXPECT_EQ(j.innerDepth, 2u);
    EXPECT_EQ(j.nestedResult, 0);
    EXPECT_EQ(fsm->depth, 0u);
    EXPECT_EQ(fsm->events.count, 0u);
    EXPECT_EQ(FsmGetState(fsm), ST_BUSY);
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, MachineEndedInsideActionIsDestroyedAfterOuterPost) {
    Journal j;
    FsmInstance* fsm = Make(&j, true, 1);  // the test keeps a table reference to observe the destroy
    FsmTable* table = fsm->table;
    FsmPostEvent(fsm, EV_GO, 0);
    EXPECT_EQ(FsmPostEvent(fsm, EV_END, 0), 0);
    // The instance is gone: it released its table reference.
    EXPECT_EQ(table->refCount, 1u);
    EXPECT_EQ(j.steps, (std::vector<std::string>{"go", "end", "end-after"}));
    EXPECT_EQ(j.refusedResult, 1);
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Login: ChangeState to terminated\n");
    EXPECT_EQ(lines.back(), "Fsm:Login remain events=0, ref_count=1, cannot release now\n");
    FreeTable(table);
}

TEST_F(CommonFsmTest, PostToTerminatedInstanceIsRefused) {
    Journal j;
    FsmInstance* fsm = Make(&j, true, 1);
    FsmTable* table = fsm->table;
    EXPECT_EQ(FsmQueueEvent(nullptr, EV_GO, 0), 0);
    EXPECT_EQ(FsmPostEvent(nullptr, EV_GO, 0), 1);
    ChangeState(fsm, FSM_STATE_TERMINATED);
    EXPECT_EQ(FsmQueueEvent(fsm, EV_GO, 0), 0);
    EXPECT_EQ(fsm->events.count, 0u);
    // A post finds nothing pending and no action running: the instance is destroyed.
    EXPECT_EQ(FsmPostEvent(fsm, EV_GO, 0), 1);
    EXPECT_EQ(table->refCount, 1u);
    EXPECT_TRUE(j.steps.empty());
    FreeTable(table);
}

TEST_F(CommonFsmTest, NamesAreCutTo15Characters) {
    Journal j;
    FsmInstance* fsm = Make(&j, true, 0, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_STREQ(fsm->name, "ABCDEFGHIJKLMNO");
    plat::TestClock clock;
    FsmTimer* timer = AddTimer(fsm, 1000, EV_TICK, 0, "0123456789abcdefghij", 1);
    ASSERT_NE(timer, nullptr);
    EXPECT_STREQ(timer->name, "0123456789abcde");
    FsmTimer* unnamed = AddTimer(fsm, 1000, EV_TICK, 0, nullptr, 2);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(unnamed->name, "");
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, TimerFiresExactlyOnceThenLeavesTheList) {
    plat::TestClock clock;
    size_t pendingBefore = plat::PendingTimerCount();
    Journal j;
    FsmInstance* fsm = Make(&j);
    ASSERT_NE(AddTimer(fsm, 30000, EV_TICK, 77, "Tm_sip", 2), nullptr);
    EXPECT_EQ(fsm->timers.count, 1u);
    EXPECT_EQ(Lines().back(), "Login: AddTimer Tm_sip\n");

    clock.advance(29999);
    EXPECT_EQ(j.ticks.load(), 0);
    clock.advance(1);
    EXPECT_EQ(j.ticks.load(), 1);
    EXPECT_EQ(j.lastTickArg.load(), 77u);
    EXPECT_EQ(fsm->timers.count, 0u);
    clock.advance(120000);
    EXPECT_EQ(j.ticks.load(), 1);
    EXPECT_EQ(plat::PendingTimerCount(), pendingBefore);

    std::vector<std::string> lines = Lines();
    bool expired = false;
    for (const std::string& line : lines) expired |= line == "Tm_sip: FsmExpireTimer Tm_sip\n";
    EXPECT_TRUE(expired);
    EXPECT_EQ(DelTimer(fsm, 2), 0u);  // gone from the list
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, DelTimerRemovesFirstOfEqualIdsAndReturnsItsArgument) {
    plat::TestClock clock;
    Journal j;
    FsmInstance* fsm = Make(&j);
    size_t before = Lines().size();
    EXPECT_EQ(DelTimer(fsm, 3), 0u);  // none: result 0, nothing written
    EXPECT_EQ(Lines().size(), before);

    AddTimer(fsm, 1000, EV_TICK, 11, "first", 3);
    AddTimer(fsm, 2000, EV_TICK, 22, "second", 3);
    EXPECT_EQ(DelTimer(fsm, 3), 11u);
    EXPECT_EQ(Lines().back(), "Login: DelTimer first\n");
    EXPECT_EQ(fsm->timers.count, 1u);

    clock.advance(1500);
    EXPECT_EQ(j.ticks.load(), 0);  // the deleted one never fires
    clock.advance(500);
    EXPECT_EQ(j.ticks.load(), 1);
    EXPECT_EQ(j.lastTickArg.load(), 22u);
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, TimerThePlatformRefusesStaysUntilDeleted) {
    plat::TestClock clock;
    Journal j;
    FsmInstance* fsm = Make(&j);
    FsmTimer* timer = AddTimer(fsm, 0, EV_TICK, 5, "zero", 4);  // a zero delay cannot be started
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->handle, 0u);
    clock.advance(10000);
    EXPECT_EQ(j.ticks.load(), 0);
    EXPECT_EQ(fsm->timers.count, 1u);
    EXPECT_EQ(DelTimer(fsm, 4), 5u);
    EXPECT_EQ(fsm->timers.count, 0u);
    FsmDestroy(fsm);
}

TEST_F(CommonFsmTest, DestroyStopsPendingTimers) {
    plat::TestClock clock;
    size_t pendingBefore = plat::PendingTimerCount();
    Journal j;
    FsmInstance* fsm = Make(&j);
    AddTimer(fsm, 100, EV_TICK, 1, "a", 1);
    AddTimer(fsm, 200, EV_TICK, 2, "b", 2);
    EXPECT_EQ(plat::PendingTimerCount(), pendingBefore + 2);
    FsmDestroy(fsm);
    EXPECT_EQ(plat::PendingTimerCount(), pendingBefore);
    clock.advance(1000);
    EXPECT_EQ(j.ticks.load(), 0);
}

// An expiry whose action ends the machine: the machine is destroyed on the timer thread after
// the expiry's post, and its other timer never fires.
int ActTickThenEnd(FsmInstance* fsm, int, FsmArg) {
    ++JournalOf(fsm)->ticks;
    ChangeState(fsm, FSM_STATE_TERMINATED);
    return 0;
}

TEST_F(CommonFsmTest, ExpiryThatEndsTheMachineDestroysItOnce) {
    plat::TestClock clock;
    size_t pendingBefore = plat::PendingTimerCount();
    const FsmRow rows[] = {{ST_IDLE, EV_TICK, &ActTickThenEnd}};
    FsmTable* table = FsmCreateTable(rows, 1, NUM_STATES, NUM_EVENTS);
    table->refCount = 2;
    Journal j;
    FsmInstance* fsm = StartOn(table, &j, "ender");
    AddTimer(fsm, 100, EV_TICK, 0, "first", 1);
    AddTimer(fsm, 200, EV_TICK, 0, "second", 2);
    clock.advance(100);
    EXPECT_EQ(j.ticks.load(), 1);
    EXPECT_EQ(table->refCount, 1u);  // destroyed
    EXPECT_EQ(plat::PendingTimerCount(), pendingBefore);
    clock.advance(1000);
    EXPECT_EQ(j.ticks.load(), 1);
    FreeTable(table);
}

// An action that deletes its own machine's other timer while that timer is due at the same
// instant: the second expiry must find its timer gone and post nothing.
int ActTickDeleteOther(FsmInstance* fsm, int, FsmArg arg) {
    Journal* j = JournalOf(fsm);
    ++j->ticks;
    DelTimer(fsm, static_cast<uint32_t>(arg));
    return 0;
}

TEST_F(CommonFsmTest, ActionDeletingASimultaneouslyDueTimer) {
    plat::TestClock clock;
    const FsmRow rows[] = {{ST_IDLE, EV_TICK, &ActTickDeleteOther}};
    FsmTable* table = FsmCreateTable(rows, 1, NUM_STATES, NUM_EVENTS);
    Journal j;
    FsmInstance* fsm = StartOn(table, &j, "pair");
    AddTimer(fsm, 100, EV_TICK, 2, "one", 1);  // deletes timer 2
    AddTimer(fsm, 100, EV_TICK, 1, "two", 2);  // deletes timer 1
    clock.advance(100);
    EXPECT_EQ(j.ticks.load(), 1);
    EXPECT_EQ(fsm->timers.count, 0u);
    FsmDestroy(fsm);
}

// Real clock: timers of 1-2 ms deleted from another thread at about the moment they expire.
// Every timer either fires once or is deleted (its argument returned), never both, never
// neither, and nothing touches a freed record (run under ThreadSanitizer and AddressSanitizer).
TEST_F(CommonFsmTest, DelTimerRacingExpiryNeverFiresAFreedTimer) {
    debug_enable = 0;
    const FsmRow rows[] = {{ST_IDLE, EV_TICK, &ActTick}};
    FsmTable* table = FsmCreateTable(rows, 1, NUM_STATES, NUM_EVENTS);
    Journal j;
    FsmInstance* fsm = StartOn(table, &j, "race");

    std::mt19937 rng(12345);
    const int rounds = 400;
    int deleted = 0;
    for (int i = 0; i < rounds; ++i) {
        uint32_t id = static_cast<uint32_t>(i + 1);
        // Most rounds delete at about the moment of expiry; a few are clearly early or late so
        // that both outcomes occur even on a loaded machine.
        uint32_t delay = 1 + rng() % 2;
        auto pause = std::chrono::microseconds(rng() % 2500);
        if (i % 10 == 0) delay = 1000, pause = std::chrono::microseconds(0);
        if (i % 10 == 5) pause = std::chrono::microseconds(20000);
        AddTimer(fsm, delay, EV_TICK, id, "race", id);
        std::this_thread::sleep_for(pause);
        FsmArg arg = DelTimer(fsm, id);
        if (arg != 0) {
            EXPECT_EQ(arg, id);
            ++deleted;
        }
    }
    // Let any expiry still queued finish.
    for (int wait = 0; wait < 200 && j.ticks.load() + deleted < rounds; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(j.ticks.load() + deleted, rounds);
    EXPECT_GT(deleted, 0);
    EXPECT_GT(j.ticks.load(), 0);
    EXPECT_EQ(fsm->timers.count, 0u);
    FsmDestroy(fsm);
}

// Real clock: machines destroyed while their timers are expiring, and a foreign thread holding
// the lock while an expiry waits for it.
TEST_F(CommonFsmTest, DestroyRacingExpiry) {
    debug_enable = 0;
    const FsmRow rows[] = {{ST_IDLE, EV_TICK, &ActTick}};
    std::mt19937 rng(777);
    for (int i = 0; i < 150; ++i) {
        FsmTable* table = FsmCreateTable(rows, 1, NUM_STATES, NUM_EVENTS);
        Journal j;
        FsmInstance* fsm = StartOn(table, &j, "victim");
        for (uint32_t t = 1; t <= 4; ++t) AddTimer(fsm, 1 + rng() % 2, EV_TICK, t, "t", t);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2500));
        if (i % 3 == 0) {
            // Hold the lock briefly from this thread so an expiry has to wait for it.
            fsm->lock->lock();
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            fsm->lock->unlock();
        }
        FsmDestroy(fsm);
        int ticks = j.ticks.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        EXPECT_EQ(j.ticks.load(), ticks);  // nothing fires after the destroy
    }
}

}  // namespace
