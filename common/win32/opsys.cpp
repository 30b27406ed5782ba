#include "opsys.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Makes a set, or opens it when it is there: EEXIST means another process
// made it first, which is the normal case for every server but the first.
int CreateOrOpen(const char* name, long initial, MH_t kind, MHandle*& handle, int& existed, unsigned long ms,
                 const PipeAccess& access) {
    handle = CreateSemaphoreUx(&access, initial, 1, name, kind);
    if (handle) return 1;
    existed = GetLastError() == EEXIST ? 1 : 0;
    if (!existed) return 0;
    handle = OpenSemaphoreTimedUx(name, kind, ms, &access);
    return handle ? 1 : 0;
}

int Open(const char* name, MH_t kind, MHandle*& handle) {
    handle = OpenSemaphoreUx(0, 0, name, kind);
    return handle ? 1 : 0;
}

int Attach(MHandle* handle, void** view) {
    *view = MapViewOfFileUx(handle, 0, 0, 0, 0);
    return *view ? 1 : 0;
}

int MapWait(int result) {
    switch (result) {
        case UX_WAIT_OBJECT: return OS_WAIT_OK;
        case UX_WAIT_ABANDONED: return OS_WAIT_ABANDONED;
        case UX_WAIT_TIMEOUT: return OS_WAIT_TIMEOUT;
        default: return OS_WAIT_FAILED;
    }
}

}  // namespace

int OpSys::CreateSemaphore(const char* name, MHandle*& handle, int& existed, const PipeAccess& access) {
    return CreateOrOpen(name, 1, MH_SEM, handle, existed, OS_INFINITE, access);
}

int OpSys::CreateCSemaphore(const char* name, MHandle*& handle, int& existed, const PipeAccess& access) {
    return CreateOrOpen(name, 0, MH_CSEM, handle, existed, OS_INFINITE, access);
}

int OpSys::CreateMutex(const char* name, MHandle*& handle, int& existed, unsigned long ms,
                       const PipeAccess& access) {
    return CreateOrOpen(name, 1, MH_MUTEX, handle, existed, ms, access);
}

int OpSys::CreateOrOpenMutexFree(const char* name, MHandle*& handle, const PipeAccess& access) {
    handle = CreateSemaphoreUx(&access, 1, 0, name, MH_MUTEX);
    if (!handle && GetLastError() == EEXIST) handle = OpenSetUx(name, MH_MUTEX, &access);
    return handle ? 1 : 0;
}

bool OpSys::MutexIsFree(MHandle* handle) { return SemaphoreValueUx(handle) == 1; }

int OpSys::OpenSemaphore(const char* name, MHandle*& handle) { return Open(name, MH_SEM, handle); }

int OpSys::OpenCSemaphore(const char* name, MHandle*& handle) { return Open(name, MH_CSEM, handle); }

int OpSys::OpenMutex(const char* name, MHandle*& handle, unsigned long ms) {
    handle = OpenSemaphoreTimedUx(name, MH_MUTEX, ms);
    return handle ? 1 : 0;
}

int OpSys::OpenMux(const char* name, MHandle*& handle) { return OpenMutex(name, handle); }

int OpSys::ReleaseSemaphore(MHandle* handle) { return ReleaseSemaphoreUx(handle, 1, 0); }

int OpSys::ReleaseMutex(MHandle* handle) { return ReleaseSemaphoreUx(handle, 1, 0); }

int OpSys::WaitForSemaphore(MHandle* handle, unsigned long ms) {
    int result = MapWait(WaitForSingleObjectUx(handle, ms));
    return result == OS_WAIT_ABANDONED ? OS_WAIT_OK : result;
}

int OpSys::WaitForMutex(MHandle* handle, unsigned long ms) { return MapWait(WaitForSingleObjectUx(handle, ms)); }

int OpSys::WaitForSlice(MHandle* handle, unsigned long ms) { return MapWait(WaitForSliceUx(handle, ms)); }

void OpSys::CloseSemaphore(MHandle*&) {}

void OpSys::CloseMutex(MHandle*&) {}

void OpSys::EraseSemaphoreStrUx(MHandle*& handle) {
    if (handle && !EraseSemStrUx(handle)) FreeHandleUx(handle);
    handle = nullptr;
}

void OpSys::EraseMutexStrUx(MHandle*& handle) { EraseSemaphoreStrUx(handle); }

void OpSys::ForgetHandle(MHandle*& handle) {
    FreeHandleUx(handle);
    handle = nullptr;
}

int OpSys::CreateSharedMemory(const char* name, unsigned long size, MHandle*& handle, void** view,
                              int& existed, const PipeAccess& access) {
    handle = CreateFileMappingUx(reinterpret_cast<MHandle*>(intptr_t(-1)), &access, 0, 0, size, name);
    if (!handle) return 0;
    existed = GetLastError() == EEXIST ? 1 : 0;
    return Attach(handle, view);
}

int OpSys::OpenSharedMemory(const char* name, MHandle*& handle, void** view) {
    handle = OpenFileMappingUx(0, 0, name);
    if (!handle) return 0;
    return Attach(handle, view);
}

void OpSys::CloseSharedMemory(MHandle*& handle, void** view) {
    if (*view) UnmapViewOfFileUx(*view);
    if (handle) CloseHandleUx(handle);
    handle = nullptr;
    *view = nullptr;
}

void OpSys::DetachSharedMemory(MHandle*& handle, void** view) {
    if (*view) UnmapViewOfFileUx(*view);
    ForgetHandle(handle);
    *view = nullptr;
}

int OpSys::GetCurrentProcessId() { return int(getpid()); }

int OpSys::GetParentProcessId() { return int(getppid()); }

bool OpSys::ProcessMayExist(int pid) { return ipc::ProcessMayExist(pid); }

bool OpSys::ProcessExists(int pid) { return ipc::ProcessExists(pid); }

uint32_t OpSys::GetTickCount() { return ipc::TickCount(); }
