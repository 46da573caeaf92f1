// Native threads of the cores (the read-ahead's helper, the batch pool's
// workers): started with the asynchronous signals blocked, which are for the
// interpreter's thread, through one starter that tests may replace.
#pragma once

#include <pthread.h>

namespace tavolin {

// Starts a thread like pthread_create (0 or an error number).
using ThreadStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* arg);

// Replaces the starter for the whole process (nullptr: pthread_create), so
// that tests can count or refuse the starts. One process-wide seam, because
// the read-ahead starts deep inside an identity call where no parameter
// reaches; not to be changed while threads are started.
void set_thread_starter(ThreadStarter starter);

// Starts `entry(arg)` with every asynchronous signal blocked in the new
// thread (the synchronous ones, a fault's, stay deliverable).
int start_thread(pthread_t* thread, void* (*entry)(void*), void* arg);

}  // namespace tavolin
