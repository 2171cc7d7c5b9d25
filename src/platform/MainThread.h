#pragma once

// Hand-over of work to the main (user-interface) thread, modelled on the
// classic toolkit mechanism: workers queue calls, the main thread runs them
// when it is woken (the Qt adapter) or when it waits for a thread.

#include <exception>
#include <functional>

namespace corvane {

// The main thread is the one that ran static initialisation; a program or a
// test may name another one before any worker starts.
void SetMainThread();
bool IsMainThread();

// From a worker: queue `fn`, wake the main thread and block until it has run
// there; an exception thrown by `fn` is rethrown here. On the main thread `fn`
// runs at once.
void Synchronize(std::function<void()> fn);

// Queue `fn` for the main thread and return at once (any thread, the main
// thread included). Posted calls run in the order they were posted.
void Post(std::function<void()> fn);

// Main thread: run everything queued so far, in order. Returns true when
// anything ran. An exception escaping a posted call goes to the handler below
// and the remaining calls still run.
bool CheckSynchronize();

// Main thread: block until something is queued or `timeoutMs` has passed, then
// run the queue. Returns true when anything ran. For test loops and waits.
bool WaitAndCheckSynchronize(int timeoutMs);

// Called (on any thread) each time a call is queued; the Qt adapter installs a
// function that schedules CheckSynchronize on the Qt event loop.
void SetMainThreadWakeup(std::function<void()> wakeup);

// Receives exceptions that escape posted calls. Default: the debugger channel.
void SetPostedExceptionHandler(std::function<void(std::exception_ptr)> handler);

namespace detail {
// Wakes a main thread that waits in WaitAndCheckSynchronize, for example
// because a thread it waits for has ended.
void NotifyMainThread();
} // namespace detail

} // namespace corvane
