// The worker thread on Win32: CreateThread, waited for without a time limit; the processor
// count.
#include <windows.h>

#include <climits>

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

int processorCount() {
    // GetActiveProcessorCount counts every processor group; GetSystemInfo sees only the calling
    // thread's (64 processors at most). The former is looked up rather than imported, so the
    // program still starts on Windows older than 7, which lacks it.
    using ActiveCount = DWORD(WINAPI*)(WORD group);
    DWORD active = 0;
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    FARPROC found =
        kernel != nullptr ? ::GetProcAddress(kernel, "GetActiveProcessorCount") : nullptr;
    if (found != nullptr) {
        // Through void (*)(), the one function type that casts to any other without a warning.
        auto activeCount = reinterpret_cast<ActiveCount>(reinterpret_cast<void (*)()>(found));
        active = activeCount(ALL_PROCESSOR_GROUPS);
    }
    if (active == 0) {  // missing, or the call failed
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        active = info.dwNumberOfProcessors;
    }
    if (active < 1) return 1;
    return active > INT_MAX ? INT_MAX : static_cast<int>(active);
}

}  // namespace zipsalvage
