#ifndef DICOMTOOLKIT_PLATFORM_FAULTFILTER_H
#define DICOMTOOLKIT_PLATFORM_FAULTFILTER_H

namespace platform {

// Makes any thread of the process that hits a fault nobody handles sleep
// forever instead of ending the process. On Windows this is the process's
// unhandled-exception filter; elsewhere the fault signals (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL) and the C++ terminate handler (an uncaught exception) put
// the faulting thread to sleep. Installing it again installs the same filter.
void installFaultFilter();

}  // namespace platform

#endif
