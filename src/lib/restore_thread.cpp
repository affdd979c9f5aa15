// Takes the interpreter lock back from a frame that has no unwind
// information (CMakeLists.txt compiles this file without unwind tables).
//
// CPython 3.9 to 3.13 end a daemon thread that takes the lock back while the
// interpreter finalizes with pthread_exit, whose forced unwind walks up the
// thread's frames. Under libc++ (the wheels' runtime, with an unwinder of its
// own linked into the module) that unwind must not enter the module's frames:
// a landing pad there resumes it through the other unwinder, which crashes.
// The walk stops at this frame instead, as at the end of the stack, and the C
// library ends the thread from there, skipping the frames below, which hold
// nothing that outlives the process.
#include <Python.h>

extern "C" void quillmere_restore_thread(PyThreadState* state) {
  PyEval_RestoreThread(state);
  // Keeps the call from becoming a jump, which would take this frame off the
  // stack before the walk reaches it.
  asm volatile("" ::: "memory");
}
