// Internal faults, the errors that mean a bug or an exhausted resource (not a
// missing data source), and the error of a worker the system refused.
//
// Every internal fault writes one line to standard error when it is caught,
// naming the fault and the thread it happened on. A fault on a worker thread
// stays in its task (the task is dropped); one on the calling thread reaches
// the Python boundary, which raises it.
#pragma once

#include <stdexcept>
#include <string_view>

namespace quillmere::runtime {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A worker could not be built because the system refused a resource: a
// descriptor (EMFILE, ENFILE: no eventfd) or a thread (EAGAIN). what() is the
// system's description of the error, after "could not start the worker
// thread: " for a thread.
class RuntimeBuildError : public std::runtime_error {
 public:
  enum class Resource { kDescriptor, kThread };
  explicit RuntimeBuildError(int error_number, Resource resource = Resource::kDescriptor);
  int error_number() const noexcept { return error_number_; }
  Resource resource() const noexcept { return resource_; }

 private:
  int error_number_;
  Resource resource_;
};

// An internal fault whose diagnostic was written where it happened (a
// worker's fault passed on to the threads waiting for its results): the
// boundary raises it without writing it again.
class ReportedFault : public InternalFault {
 public:
  using InternalFault::InternalFault;
};

// Writes "quillmere: internal fault in thread '<name>': <message>" and a
// newline to standard error in one write. Never throws.
void report_internal_fault(std::string_view message) noexcept;

}  // namespace quillmere::runtime
