#pragma once

// Qt's posted-event queue hands an event from one thread to another with
// primitives ThreadSanitizer cannot see (Qt itself is not instrumented), so
// the receiver's first look at the event reads as a race. Events we post
// across threads are announced here, which tells the sanitizer what the queue
// guarantees. Without the sanitizer both are a plain post and nothing.

#include <QCoreApplication>
#include <QEvent>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

inline void postAcrossThreads(QObject* receiver, QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(event);
#endif
    QCoreApplication::postEvent(receiver, event);
}

// Call first thing in the receiver's event(), before the event is read.
inline void receivedAcrossThreads(QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(event);
#else
    Q_UNUSED(event);
#endif
}
