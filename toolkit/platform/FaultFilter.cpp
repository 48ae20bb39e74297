#include "FaultFilter.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <exception>
#include <initializer_list>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

namespace {

LONG WINAPI sleepForever(EXCEPTION_POINTERS*) {
    for (;;) Sleep(INFINITE);
}

}  // namespace

void installFaultFilter() { SetUnhandledExceptionFilter(sleepForever); }

#else

namespace {

// pause() is async-signal-safe; the handled signal stays blocked in this
// thread, so the thread never leaves the handler.
void sleepForeverOnSignal(int) {
    for (;;) pause();
}

[[noreturn]] void sleepForeverOnTerminate() {
    for (;;) pause();
}

}  // namespace

void installFaultFilter() {
    struct sigaction action {};
    action.sa_handler = sleepForeverOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signalNumber, &action, nullptr);
    std::set_terminate(sleepForeverOnTerminate);
}

#endif

}  // namespace platform
