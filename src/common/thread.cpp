#include "common/thread.hpp"

#include <signal.h>

#include <atomic>
#include <initializer_list>

namespace tavolin {

namespace {

std::atomic<ThreadStarter> g_starter{nullptr};

}  // namespace

void set_thread_starter(ThreadStarter starter) { g_starter.store(starter); }

int start_thread(pthread_t* thread, void* (*entry)(void*), void* arg) {
  sigset_t blocked;
  sigset_t previous;
  sigfillset(&blocked);
  for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&blocked, sync);
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  const ThreadStarter starter = g_starter.load();
  const int error = starter != nullptr ? starter(thread, entry, arg)
                                       : ::pthread_create(thread, nullptr, entry, arg);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return error;
}

}  // namespace tavolin
