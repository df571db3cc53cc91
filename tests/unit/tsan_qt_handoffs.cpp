// Linked only into the ThreadSanitizer build of the threaded unit tests (scripts/tsan).
//
// Qt comes uninstrumented, so the ordering its thread pool, futures and event
// queue give (under Qt's own mutex) is invisible to the detector and every
// hand-off looks like a race. Rather than ignore those, and the real races
// they would hide, each definition below replaces Qt's for calls from this
// executable (and QtConcurrent's, through the dynamic linker), tells the
// detector the ordering Qt guarantees, and calls Qt's own:
// - QThreadPool::start / tryStart: the submitter's work happens before the task;
// - QFutureInterfaceBase::reportFinished / waitForFinished: the task before the wait returns;
// - QFutureInterfaceBase::setContinuation: the attaching thread before the continuation;
// - QMetaObject::invokeMethod with a function: the caller before the function,
//   and for a blocking call the function before the call returns.
// Calls inside Qt's own library never come here and need no edges of ours.
//
// `clone` turns QProcess's clone(CLONE_VM | CLONE_VFORK) into a fork-like one:
// the detector's interceptor corrupts the parent's state on a vfork-style child.
#include <QMetaObject>
#include <QRunnable>
#include <QThreadPool>
#include <QFutureInterface>

#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>
#include <sanitizer/tsan_interface.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>

#if !(defined(__has_feature) && __has_feature(thread_sanitizer))
#error "only for the ThreadSanitizer build (NIMBO_TSAN)"
#endif

namespace {

// Qt's own definition of a function this file also defines.
template <typename Fn>
Fn qtOwn(const char* mangled) {
  void* f = dlsym(RTLD_NEXT, mangled);
  if (!f) {
    std::fprintf(stderr, "tsan_qt_handoffs: %s not found in Qt\n", mangled);
    std::abort();
  }
  return reinterpret_cast<Fn>(f);
}

// Runs a pool task after acquiring what the submitting thread released on this wrapper.
class HandedOver final : public QRunnable {
 public:
  explicit HandedOver(QRunnable* task) : task_(task), deleteTask_(task->autoDelete()) {
    setAutoDelete(true);
    __tsan_release(this);
  }
  void run() override {
    __tsan_acquire(this);
    QRunnable* task = task_;
    const bool del = deleteTask_;
    task->run();
    // As the pool would have done with the task itself.
    if (del) delete task;
  }

 private:
  QRunnable* task_;
  bool deleteTask_;
};

// Runs a function invoked on another thread after acquiring what the caller released here.
class Delivered final : public QtPrivate::QSlotObjectBase {
 public:
  Delivered(QtPrivate::QSlotObjectBase* inner, void* reply) : QSlotObjectBase(&impl), inner_(inner), reply_(reply) {
    __tsan_release(this);
  }

 private:
  static void impl(int which, QSlotObjectBase* self, QObject* receiver, void** args, bool* ret) {
    auto* d = static_cast<Delivered*>(self);
    switch (which) {
      case Call:
        __tsan_acquire(d);
        d->inner_->call(receiver, args);
        if (d->reply_) __tsan_release(d->reply_);
        break;
      case Destroy:
        // Also when the receiver went away before it could run.
        __tsan_acquire(d);
        d->inner_->destroyIfLastRef();
        delete d;
        break;
      case Compare:
        if (ret) *ret = false;
        break;
    }
  }
  QtPrivate::QSlotObjectBase* inner_;
  void* reply_;  // the blocking caller's, released once the function ran
};

}  // namespace

void QThreadPool::start(QRunnable* task, int priority) {
  static const auto own = qtOwn<void (*)(QThreadPool*, QRunnable*, int)>("_ZN11QThreadPool5startEP9QRunnablei");
  own(this, task ? new HandedOver(task) : nullptr, priority);
}

bool QThreadPool::tryStart(QRunnable* task) {
  static const auto own = qtOwn<bool (*)(QThreadPool*, QRunnable*)>("_ZN11QThreadPool8tryStartEP9QRunnable");
  if (!task) return own(this, task);
  auto* wrapper = new HandedOver(task);
  if (own(this, wrapper)) return true;
  delete wrapper;  // not started: the task stays the caller's
  return false;
}

namespace {

// Where a future's hand-offs are released and acquired: a byte inside the
// shared state's mutex, which every copy of the interface has in common.
// Not the mutex's own address: Qt's inline locking annotates the mutex to the
// detector, and an unlock replaces what was released there with the
// unlocker's clock, so an edge of ours on it could be lost to a thread that
// had locked it before we released.
void* handOffPoint(const QFutureInterfaceBase& future) {
  return reinterpret_cast<char*>(&future.mutex()) + 1;
}

}  // namespace

void QFutureInterfaceBase::reportFinished() {
  static const auto own = qtOwn<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase14reportFinishedEv");
  __tsan_release(handOffPoint(*this));
  own(this);
}

void QFutureInterfaceBase::waitForFinished() {
  static const auto own = qtOwn<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase15waitForFinishedEv");
  own(this);
  __tsan_acquire(handOffPoint(*this));
}

namespace {

using Continuation = std::function<void(const QFutureInterfaceBase&)>;

// `func`, run after acquiring what the attaching thread released at the future's hand-off point.
Continuation handedOver(const QFutureInterfaceBase& future, Continuation func) {
  Continuation wrapped = [f = std::move(func)](const QFutureInterfaceBase& parent) {
    __tsan_acquire(handOffPoint(parent));
    f(parent);
  };
  __tsan_release(handOffPoint(future));
  return wrapped;
}

}  // namespace

void QFutureInterfaceBase::setContinuation(Continuation func) {
  static const auto own = qtOwn<void (*)(QFutureInterfaceBase*, Continuation)>(
      "_ZN20QFutureInterfaceBase15setContinuationESt8functionIFvRKS_EE");
  own(this, handedOver(*this, std::move(func)));
}

void QFutureInterfaceBase::setContinuation(Continuation func, QFutureInterfaceBasePrivate* continuationFutureData) {
  static const auto own = qtOwn<void (*)(QFutureInterfaceBase*, Continuation, QFutureInterfaceBasePrivate*)>(
      "_ZN20QFutureInterfaceBase15setContinuationESt8functionIFvRKS_EEP27QFutureInterfaceBasePrivate");
  own(this, handedOver(*this, std::move(func)), continuationFutureData);
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret) {
  static const auto own = qtOwn<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
      "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
  if (!slot) return own(object, slot, type, ret);
  char reply = 0;
  const bool blocking = type == Qt::BlockingQueuedConnection;
  const bool ok = own(object, new Delivered(slot, blocking ? &reply : nullptr), type, ret);
  if (blocking) __tsan_acquire(&reply);
  return ok;
}

extern "C" int __interceptor_clone(int (*fn)(void*), void* stack, int flags, void* arg, int* parentTid, void* tls,
                                   pid_t* childTid);

extern "C" __attribute__((visibility("default"))) int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
  va_list ap;
  va_start(ap, arg);
  int* parentTid = va_arg(ap, int*);
  void* tls = va_arg(ap, void*);
  pid_t* childTid = va_arg(ap, pid_t*);
  va_end(ap);
  // A vfork-style child would run the detector's bookkeeping on our memory.
  if ((flags & CLONE_VM) && (flags & CLONE_VFORK)) flags &= ~(CLONE_VM | CLONE_VFORK);
  return __interceptor_clone(fn, stack, flags, arg, parentTid, tls, childTid);
}
