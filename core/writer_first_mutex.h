// A reader-writer lock under which a waiting writer holds back new readers.
//
// std::shared_mutex (glibc's default kind) lets new readers in while a writer waits, so under a
// steady flow of overlapping readers the writer waits until none happens to be in, which under
// load can be seconds or never. Here a writer that asks waits only for the readers already in;
// readers that come after it wait for it. It meets the SharedMutex requirements, so
// std::shared_lock and std::unique_lock work with it.
//
// Not recursive: a thread that holds it shared must not take it shared again (with a writer
// waiting in between, the second take would wait for the writer, which waits for the first).
#pragma once

#include <pthread.h>

namespace kavrel {

class WriterFirstMutex {
 public:
  WriterFirstMutex();
  ~WriterFirstMutex();
  WriterFirstMutex(const WriterFirstMutex&) = delete;
  WriterFirstMutex& operator=(const WriterFirstMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  pthread_rwlock_t rw_;
};

}  // namespace kavrel
