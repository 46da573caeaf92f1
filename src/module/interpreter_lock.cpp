#include "module/interpreter_lock.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "module/pyref.hpp"

namespace tavolin::py {

// ---------------------------------------------------------------- signals

namespace {

// The interpreter's main thread, as PyThread_get_thread_ident() gives it.
std::atomic<unsigned long> g_main_thread{0};

std::int64_t coarse_now_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

constexpr std::int64_t kSignalCheckIntervalNs =
    std::chrono::nanoseconds(kInterruptPollInterval).count();

}  // namespace

void watch_main_thread() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // After a fork the thread that forked is the child's main thread, for
    // the interpreter as here.
    ::pthread_atfork(nullptr, nullptr,
                     [] { g_main_thread.store(PyThread_get_thread_ident()); });
  });
  unsigned long ident = PyThread_get_thread_ident();
  const PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  const PyRef main =
      PyRef::steal(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  const PyRef value = PyRef::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  if (value && PyLong_Check(value.get())) {
    const unsigned long main_ident = PyLong_AsUnsignedLong(value.get());
    if (!PyErr_Occurred()) ident = main_ident;
  }
  PyErr_Clear();  // without threading, the importing thread is the best guess
  g_main_thread.store(ident);
}

SignalWatch::SignalWatch() {
  if (PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed)) {
    thread_ = PyThreadState_Get();
    next_check_ns_ = coarse_now_ns() + kSignalCheckIntervalNs;
  }
}

bool SignalWatch::should_stop(InterruptMoment moment) {
  if (thread_ == nullptr) return false;
  if (raised_) return true;
  const std::int64_t now = coarse_now_ns();
  if (moment == InterruptMoment::between_steps && now < next_check_ns_) return false;
  next_check_ns_ = now + kSignalCheckIntervalNs;
  PyEval_RestoreThread(thread_);
  raised_ = PyErr_CheckSignals() < 0;  // the exception stays set for the caller
  PyEval_SaveThread();
  return raised_;
}

}  // namespace tavolin::py
