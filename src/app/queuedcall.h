// Work handed to another thread through Qt's event queue: PostQueued runs a function on the receiver's
// thread, after what is queued there already, or drops it when the receiver is destroyed first.
//
// Every hand-off between the window's thread and the workers goes through PostQueued, for the sake of
// ThreadSanitizer. The Qt this program runs on is not built with it: the locks inside Qt's event queue,
// which order a queued call after the code that posted it, are invisible to the sanitizer, so it would
// take the values a call carries for a race between the two threads. The call therefore says what Qt
// guarantees: once completely built (inside Qt's own record of the call) it is released, and the receiving
// thread acquires it before running it; whichever thread destroys it acquires it first. Only that ordering
// is declared; whatever else the threads share is still checked. Outside a ThreadSanitizer build this is a
// plain queued invokeMethod.
#pragma once

#include <QMetaObject>
#include <QObject>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace plicato {

namespace internal {

// The call as Qt keeps it. Qt moves it into the record it posts, so every move releases the copy just
// built; the last one, inside the record, is the copy the receiving thread runs and destroys.
template <typename F>
class TQueuedCall {
 public:
  explicit TQueuedCall(F work) : work_(std::move(work)) { Release(); }
  TQueuedCall(TQueuedCall&& other) : work_(std::move(other.work_)) { Release(); }
  TQueuedCall(const TQueuedCall&) = delete;
  TQueuedCall& operator=(const TQueuedCall&) = delete;
  TQueuedCall& operator=(TQueuedCall&&) = delete;
  ~TQueuedCall() { Acquire(); }

  // Released again once run: Qt may free the call on the thread that posted it, when that thread lets go
  // of it last.
  void operator()() {
    Acquire();
    work_();
    Release();
  }

 private:
  void Release() {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(this);
#endif
  }
  void Acquire() {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(this);
#endif
  }

  F work_;
};

}  // namespace internal

template <typename F>
void PostQueued(QObject* receiver, F work) {
  QMetaObject::invokeMethod(receiver, internal::TQueuedCall<F>(std::move(work)), Qt::QueuedConnection);
}

}  // namespace plicato
