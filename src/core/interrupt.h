// Interruption by SIGINT or SIGTERM. The first signal stops new AWS work while the calls in
// flight finish (for a bounded time), so that the run can still write what it knows; a second
// signal ends the process at once. Signals are taken by a watcher thread (sigwait), never in a
// signal handler, so the watcher may log and wake sleepers.
#pragma once

#include <chrono>
#include <functional>

namespace quenfold_testlibs::core {

// Thrown where new AWS work would start after an interruption. Deliberately not a
// std::exception, so that the handlers of ordinary failures let it pass to the run's end.
struct Interrupted {
  int signal = 0;
};

// How long calls in flight may still take after the first signal (in the clock's time).
inline constexpr std::chrono::seconds kInFlightGrace{30};

// What to do once on the first signal besides stopping new work (the driver logs a line).
void setInterruptNotice(std::function<void(int)> notice);

// Blocks SIGINT and SIGTERM in the calling thread (threads started later inherit the mask) and
// starts the watcher. Call once, first thing in main, before any other thread exists.
void installInterruptHandling();

// The first signal's number, 0 while none came.
int interruptSignal();
// Throws Interrupted when a signal came.
void throwIfInterrupted();
// True once the grace for calls in flight has run out.
bool inFlightGraceOver();

// What the watcher does on the first signal: logs, wakes every sleeper. Tests call it directly;
// `signal` 0 forgets an earlier interruption.
void interruptFor(int signal);

// Sleeps `d` of real time unless an interruption comes first (the clock's pauses use it).
void interruptibleSleep(std::chrono::nanoseconds d);

}  // namespace quenfold_testlibs::core
