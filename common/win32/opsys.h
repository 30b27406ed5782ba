/// @file
/// OpSys: the primitives of the pipe. Named semaphores, counting semaphores,
/// mutexes and shared memory with create-or-open semantics, one result
/// convention for waits, process ids and a tick count. Static operations
/// only; handles live in the caller's fields (owners of type MHandlePtr).
///
/// Error convention: results are 1 for success and 0 for failure, or the
/// wait codes below; the cause of a failure (call, errno, object) is the
/// calling thread's last failure of the system layer, LastFailureUx().
/// Nothing here throws. Every operation is safe on any thread.
#ifndef VELMOX_OPSYS_H
#define VELMOX_OPSYS_H

#include <cstdint>

#include "ux_mem.h"

/// @name The results of the waits
///@{
const int OS_WAIT_OK = 0;              ///< the wait was satisfied
const int OS_WAIT_ABANDONED = 0x8000;  ///< WaitForMutex: its holder ended without giving it back (UX_WAIT_ABANDONED)
const int OS_WAIT_TIMEOUT = 0xFFFE;    ///< the limit expired
const int OS_WAIT_FAILED = 0xFFFF;     ///< the wait failed (the cause: LastFailureUx)
///@}

/// A wait of this many milliseconds has no limit.
const unsigned long OS_INFINITE = UX_INFINITE;

/// The primitives of the pipe, as static operations (see the file's
/// description).
class OpSys {
public:
    /// Create-or-open, as a server makes its objects: with the access (its
    /// key file too; see ux_mem.h). A new object gets its initial value
    /// (semaphore 1 clear, counting semaphore 0, mutex 1 free) and leaves
    /// `existed` as the caller set it; an existing one is opened instead (if
    /// it is trusted), given the access, and `existed` becomes 1 (an opened
    /// mutex is then held by the caller). 0 with a null handle when neither
    /// works; `existed` is then 0.
    static int CreateSemaphore(const char* name, MHandle*& handle, int& existed,
                               const PipeAccess& access = PipeAccess());
    /// A counting semaphore, made or opened as CreateSemaphore says.
    static int CreateCSemaphore(const char* name, MHandle*& handle, int& existed,
                                const PipeAccess& access = PipeAccess());
    /// An existing mutex is taken within ms milliseconds when a limit is given.
    static int CreateMutex(const char* name, MHandle*& handle, int& existed, unsigned long ms = OS_INFINITE,
                           const PipeAccess& access = PipeAccess());

    /// Creates a mutex set (the member free) or opens an existing one without
    /// taking the member, with the access as above. 0 with a null handle on
    /// failure.
    static int CreateOrOpenMutexFree(const char* name, MHandle*& handle, const PipeAccess& access = PipeAccess());
    /// True when nobody holds the mutex.
    static bool MutexIsFree(MHandle* handle);

    ///@{
    /// Open only; 0 with a null handle on failure. OpenSemaphore sets the
    /// member to clear; OpenMutex takes the mutex, within ms milliseconds when
    /// a limit is given.
    static int OpenSemaphore(const char* name, MHandle*& handle);
    static int OpenCSemaphore(const char* name, MHandle*& handle);
    static int OpenMutex(const char* name, MHandle*& handle, unsigned long ms = OS_INFINITE);
    static int OpenMux(const char* name, MHandle*& handle);
    ///@}

    ///@{
    /// One release step; 1 or 0.
    static int ReleaseSemaphore(MHandle* handle);
    static int ReleaseMutex(MHandle* handle);
    ///@}

    /// OS_WAIT_OK, OS_WAIT_TIMEOUT when the limit expired, OS_WAIT_FAILED for
    /// any other failure (a removed set is a failure, not a time-out).
    static int WaitForSemaphore(MHandle* handle, unsigned long ms);
    /// OS_WAIT_OK, OS_WAIT_ABANDONED, OS_WAIT_TIMEOUT or OS_WAIT_FAILED.
    static int WaitForMutex(MHandle* handle, unsigned long ms);
    /// A wait of exactly ms milliseconds (0: only what is there at once):
    /// OS_WAIT_OK, OS_WAIT_TIMEOUT when it ran out, or OS_WAIT_FAILED.
    static int WaitForSlice(MHandle* handle, unsigned long ms);

    ///@{
    /// Semaphore handles are kept: these do nothing.
    static void CloseSemaphore(MHandle*& handle);
    static void CloseMutex(MHandle*& handle);
    ///@}
    ///@{
    /// Remove the handle's whole set from the system, release the record and
    /// null the handle (null is allowed). A failed removal is reported on
    /// standard error.
    static void EraseSemaphoreStrUx(MHandle*& handle);
    static void EraseMutexStrUx(MHandle*& handle);
    ///@}
    /// Releases the record without touching the object and nulls the handle.
    static void ForgetHandle(MHandle*& handle);

    /// Creates (zero-filled) or opens the segment, with the access as above,
    /// and attaches it; `existed` says whether it was there. 0 when the
    /// handle or the view is missing (the handle may then be set).
    static int CreateSharedMemory(const char* name, unsigned long size, MHandle*& handle, void** view,
                                  int& existed, const PipeAccess& access = PipeAccess());
    /// Opens an existing segment and attaches it; 0 as above.
    static int OpenSharedMemory(const char* name, MHandle*& handle, void** view);
    /// Detaches the view, removes the segment from the system, nulls both.
    static void CloseSharedMemory(MHandle*& handle, void** view);
    /// Detaches the view and releases the record, leaving the segment; nulls
    /// both.
    static void DetachSharedMemory(MHandle*& handle, void** view);

    static int GetCurrentProcessId();  ///< getpid(); never fails
    static int GetParentProcessId();   ///< getppid(); never fails
    /// True while a process of that id exists and has not ended (pid 0 and
    /// below: false). A process that ended and waits to be reaped is gone.
    static bool ProcessExists(int pid);
    /// As ProcessExists, but one system call: a process that ended and waits
    /// to be reaped still counts. For hot paths that look again later.
    static bool ProcessMayExist(int pid);
    /// Hundredths of a second since local midnight, in whole seconds.
    static uint32_t GetTickCount();
};

/// Runs an OpSys call that makes or opens a record into `raw` and gives the
/// record to `owner`. Returns the call's result.
template <class MakeOrOpen>
int OpenInto(MHandlePtr& owner, MakeOrOpen makeOrOpen) {
    MHandle* raw = nullptr;
    int result = makeOrOpen(raw);
    owner.reset(raw);
    return result;
}

#endif
