// How the module waits for its child processes inside the panel's process:
// a thread gives up the interpreter lock while it waits, and a thread whose
// host schedules greenlets on it waits through the host's own select(), so
// that the other greenlets run meanwhile.
#pragma once

// Installs the waiting hooks for the whole process (util/blocking.h).
void install_host_waits() noexcept;
