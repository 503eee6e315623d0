// How the module waits for its child processes inside the panel's process:
// a thread gives up the interpreter lock while it waits, taking it back
// every few hundredths of a second to run the signal handlers of signals
// that came meanwhile, and a thread whose host schedules greenlets on it
// waits through the host's own select(), so that the other greenlets run
// meanwhile.  An exception a handler raises, or one the host raises into
// the greenlet's wait (a Timeout, a kill), ends the wait: the child is
// ended and the exception stays pending for the caller.
#pragma once

// Installs the waiting hooks for the whole process (util/blocking.h).
void install_host_waits() noexcept;
