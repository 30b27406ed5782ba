#include "slot_objects.h"

#include "ipc_names.h"
#include "opsys.h"

int SlotSets::Open(const char* base) {
    char name[kNameBufferSize];
    // Member 0 stands for the set; a slot's records are made from it.
    m_mutexes.reset(OpenSetUx(FormatName(name, kMutexFmt, base, 0), MH_MUTEX));
    if (m_mutexes) m_requests.reset(OpenSetUx(FormatName(name, kClientSemFmt, base, 0), MH_SEM));
    if (m_requests) m_answers.reset(OpenSetUx(FormatName(name, kServerSemFmt, base, 0), MH_SEM));
    if (IsOpen()) return 1;
    Forget();
    return 0;
}

void SlotSets::Forget() {
    m_mutexes.reset();
    m_requests.reset();
    m_answers.reset();
}

int SlotObjects::Make(const char* base, int index, unsigned long size, const PipeAccess& access) {
    char name[kNameBufferSize];
    int existed = 0;
    bool made = OpenInto(m_mutex, [&](MHandle*& h) {
                    return OpSys::CreateOrOpenMutexFree(FormatName(name, kMutexFmt, base, index), h, access);
                }) && OpSys::MutexIsFree(m_mutex.get()) &&
                OpenInto(m_request, [&](MHandle*& h) {
                    return OpSys::CreateSemaphore(FormatName(name, kClientSemFmt, base, index), h, existed, access);
                }) &&
                OpenInto(m_answer, [&](MHandle*& h) {
                    return OpSys::CreateSemaphore(FormatName(name, kServerSemFmt, base, index), h, existed, access);
                });
    if (made) {
        // A block left by a crashed server of this slot may be too small.
        RemoveTrustedObjectUx(FormatName(name, kShMemFmt, base, index), MH_SHM);
        existed = 0;
        made = OpenInto(m_segment, [&](MHandle*& h) {
            return OpSys::CreateSharedMemory(name, size, h, &m_block, existed, access);
        }) == 1;
        m_blockSize = size;
    }
    if (made) return 1;
    RemoveBlock();
    Forget();
    return 0;
}

int SlotObjects::Open(const SlotSets& sets, const char* base, int index) {
    Forget();
    m_mutex.reset(MemberOfSetUx(sets.m_mutexes.get(), index));
    m_request.reset(MemberOfSetUx(sets.m_requests.get(), index));
    m_answer.reset(MemberOfSetUx(sets.m_answers.get(), index));
    if (m_mutex && m_request && m_answer && OpenBlock(base, index)) return 1;
    Forget();
    return 0;
}

int SlotObjects::Open(const char* base, int index) {
    SlotSets sets;
    return sets.Open(base) ? Open(sets, base, index) : 0;
}

int SlotObjects::OpenBlock(const char* base, int index) {
    char name[kNameBufferSize];
    MHandle* raw = nullptr;
    int opened = OpSys::OpenSharedMemory(FormatName(name, kShMemFmt, base, index), raw, &m_block);
    m_segment.reset(raw);
    if (!opened) return 0;
    m_blockSize = SegmentSizeUx(m_segment.get());
    // A block must hold its length word.
    return m_blockSize > 4 ? 1 : 0;
}

void SlotObjects::ForgetSemaphores() {
    m_mutex.reset();
    m_request.reset();
    m_answer.reset();
}

void SlotObjects::Forget() {
    ForgetSemaphores();
    if (m_block) UnmapViewOfFileUx(m_block);
    m_block = nullptr;
    m_segment.reset();
    m_blockSize = 0;
}

void SlotObjects::RemoveBlock() {
    MHandle* raw = m_segment.release();
    OpSys::CloseSharedMemory(raw, &m_block);
    m_blockSize = 0;
}

void SlotObjects::EraseSets(const char* base) {
    struct Set {
        MHandlePtr* record;
        const char* format;
    } sets[] = {{&m_request, kClientSemFmt}, {&m_answer, kServerSemFmt}, {&m_mutex, kMutexFmt}};
    char name[kNameBufferSize];
    for (const Set& set : sets) {
        MHandle* raw = set.record->release();
        if (raw) OpSys::EraseSemaphoreStrUx(raw);
        else RemoveTrustedObjectUx(FormatName(name, set.format, base, 0), MH_SEM);
    }
}
