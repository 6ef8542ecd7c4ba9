// Work on a second thread beside the calling one, for the tools: the scan of a large file's
// second part, the second half of the runner's table, every other part of an output gathered
// and written in turn with the calling thread's.
//
// Start hands `work` to a new thread, or says that none could be had (the caller then does the
// work itself); only when nothing runs, so after Join. Join waits for it and throws what it
// threw (memory ran out). The destructor waits too, so that the work ends before what it reads
// or writes can go, however the caller's scope ends: declare a Beside after what its work uses.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace tkr {

class Beside {
 public:
  Beside() = default;
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;
  ~Beside() {
    if (thread_.joinable()) thread_.join();
  }

  template <class Work>
  bool Start(Work work) {
    try {
      thread_ = std::thread([this, work]() mutable {
        try {
          work();
        } catch (...) {
          failed_ = std::current_exception();
        }
      });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
  }

 private:
  std::thread thread_;
  std::exception_ptr failed_;  // what the work threw, until Join throws it
};

}  // namespace tkr
