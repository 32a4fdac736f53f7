#include "core/writer_first_mutex.h"

#include <cerrno>
#include <cstdlib>

namespace kavrel {
namespace {

// The calls below fail only on misuse (a lock taken twice by one thread, a lock not held) or
// when the system is out of resources for a new lock: neither can be recovered from here.
void check(int err) {
  if (err != 0) std::abort();
}

}  // namespace

WriterFirstMutex::WriterFirstMutex() {
  pthread_rwlockattr_t attr;
  check(pthread_rwlockattr_init(&attr));
  // The one kind under which glibc holds new readers back while a writer waits.
  check(pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP));
  check(pthread_rwlock_init(&rw_, &attr));
  pthread_rwlockattr_destroy(&attr);
}

WriterFirstMutex::~WriterFirstMutex() { pthread_rwlock_destroy(&rw_); }

void WriterFirstMutex::lock() { check(pthread_rwlock_wrlock(&rw_)); }

bool WriterFirstMutex::try_lock() {
  const int err = pthread_rwlock_trywrlock(&rw_);
  if (err == EBUSY) return false;
  check(err);
  return true;
}

void WriterFirstMutex::unlock() { check(pthread_rwlock_unlock(&rw_)); }

void WriterFirstMutex::lock_shared() { check(pthread_rwlock_rdlock(&rw_)); }

bool WriterFirstMutex::try_lock_shared() {
  const int err = pthread_rwlock_tryrdlock(&rw_);
  if (err == EBUSY || err == EAGAIN) return false;
  check(err);
  return true;
}

void WriterFirstMutex::unlock_shared() { check(pthread_rwlock_unlock(&rw_)); }

}  // namespace kavrel
