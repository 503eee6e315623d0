// Printing a pending interpreter error without ever ending the process.
#pragma once

// Prints the pending exception with its traceback to standard error and
// clears it; does nothing when no error is pending.  The interpreter's own
// printer ends the whole process for SystemExit, so that one is displayed
// like any other exception instead.  Requires the interpreter lock.
void print_error_and_clear();
