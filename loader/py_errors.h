// Printing a pending interpreter error without ever ending the process.
#pragma once

// Prints the pending exception with its traceback to standard error and
// clears it; does nothing when no error is pending.  The interpreter's own
// printer could end the whole process (SystemExit, or a sys.excepthook that
// raises it) and keeps the last exception alive in sys; this one calls no
// hook and keeps nothing.  Requires the interpreter lock.
void print_error_and_clear();
