// The worker thread on POSIX: one pthread, joined without a time limit; the processor count.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <climits>

#include "platform/platform.h"

namespace zipsalvage {
namespace {

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
};

void* runThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.routine(copy.argument);
    return nullptr;
}

}  // namespace

bool startThread(WorkerThread& thread, void (*routine)(void* argument), void* argument) {
    auto* start = new ThreadStart{routine, argument};
    pthread_t handle{};
    if (::pthread_create(&handle, nullptr, runThread, start) != 0) {
        delete start;
        return false;
    }
    thread.handle = static_cast<intptr_t>(handle);
    thread.started = true;
    return true;
}

void joinThread(WorkerThread& thread) {
    if (!thread.started) return;
    ::pthread_join(static_cast<pthread_t>(thread.handle), nullptr);
    thread.started = false;
}

int processorCount() {
#ifdef __linux__
    // The processors this process may run on (taskset, a container's cpuset), when the system
    // says.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 1) {
        return CPU_COUNT(&allowed);
    }
#endif
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) return 1;  // -1: the system cannot say
    return online > INT_MAX ? INT_MAX : static_cast<int>(online);
}

}  // namespace zipsalvage
