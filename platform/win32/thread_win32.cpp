// The worker thread on Win32: CreateThread, waited for without a time limit.
#include <windows.h>

#include "platform/platform.h"

namespace zipsalvage {
namespace {

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
};

DWORD WINAPI runThread(LPVOID start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.routine(copy.argument);
    return 0;
}

}  // namespace

bool startThread(WorkerThread& thread, void (*routine)(void* argument), void* argument) {
    auto* start = new ThreadStart{routine, argument};
    HANDLE handle = ::CreateThread(nullptr, 0, runThread, start, 0, nullptr);
    if (handle == nullptr) {
        delete start;
        return false;
    }
    thread.handle = reinterpret_cast<intptr_t>(handle);
    thread.started = true;
    return true;
}

void joinThread(WorkerThread& thread) {
    if (!thread.started) return;
    HANDLE handle = reinterpret_cast<HANDLE>(thread.handle);
    ::WaitForSingleObject(handle, INFINITE);
    ::CloseHandle(handle);
    thread.started = false;
}

}  // namespace zipsalvage
