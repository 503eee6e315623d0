// Failing calls of the C library on purpose, to see what the code under test
// does when one fails.  The test binary defines the calls fail_call.c lists
// under their own names, so the code linked into it calls those; each one
// forwards to the next definition (the C library's, or a sanitizer's
// interceptor) unless an armed fault matches it.  Only calls the code makes
// itself can be failed, never those made inside the C library.  GoogleTest
// makes some of these calls too: arm a fault only around the call under test.
#pragma once

extern "C" {

struct PlFault {
  const char* call;            // the function's name
  int err;                     // the error it fails with
  int skip = 0;                // matching calls let through before failing
  int times = -1;              // matching calls failed after those; -1: all
  const char* path = nullptr;  // only calls whose path (ioctl: request name) contains this
};

// Arms a fault (at most four at a time; none when call is null); its
// slot, or -1.
int pl_fault_arm(const PlFault* fault);
// Disarms the slot; how many calls it failed.
int pl_fault_disarm(int slot);
// How many calls it failed so far.
int pl_fault_failed(int slot);
}

// A fault armed for the life of the object.
class FailCall {
 public:
  explicit FailCall(const PlFault& fault) : slot_(pl_fault_arm(&fault)) {}
  ~FailCall() { pl_fault_disarm(slot_); }
  FailCall(const FailCall&) = delete;
  FailCall& operator=(const FailCall&) = delete;
  // How many calls it failed: 0 means the call under test never reached
  // the fault, and the test shows nothing.
  int failed() const { return pl_fault_failed(slot_); }

 private:
  int slot_;
};
