// An alternate signal stack for the calling thread while the scope lasts,
// so that a thread that overflows its own stack still runs the fault
// handler, which writes what waits before the process ends.  It lies in the
// thread's outermost frame, which an overflow, at the stack's far end, never
// reaches.  The stack that was set before (a sanitizer's) comes back after.
#pragma once

#include <signal.h>

#include <cstddef>

inline constexpr std::size_t QUARN_FAULT_STACK_SIZE = 16 * 1024; // the fault handler's deepest path, with room

class fault_stack {
  public:
    fault_stack()
    {
        stack_t ss{};
        ss.ss_sp = area_;
        ss.ss_size = sizeof area_;
        installed_ = sigaltstack(&ss, &before_) == 0;
    }
    ~fault_stack()
    {
        if (installed_)
            sigaltstack(&before_, nullptr);
    }
    fault_stack(const fault_stack &) = delete;
    fault_stack &operator=(const fault_stack &) = delete;

  private:
    alignas(16) char area_[QUARN_FAULT_STACK_SIZE]; // the handler's stack
    stack_t before_{};                               // the thread's alternate stack until now
    bool installed_ = false;                         // before_ is to be put back
};
