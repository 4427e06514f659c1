// Holds a pthread mutex for the life of the scope.  The library and the
// server's log writer keep pthread mutexes, not std::mutex: the library's
// is held across fork by its handlers, the writer's is tried from a fault
// handler.
#pragma once

#include <pthread.h>

class mutex_guard {
  public:
    explicit mutex_guard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~mutex_guard() { pthread_mutex_unlock(&m_); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

  private:
    pthread_mutex_t &m_; // the held mutex
};
