#include "slot_objects.h"

#include <cerrno>

#include "ipc_names.h"

bool SlotSets::Open(const char* base, IpcFailure& failure) {
    char name[kNameBufferSize];
    // Member 0 stands for the set.
    if (ipc::OpenSet(FormatName(name, kMutexFmt, base, 0), ipc::SemKind::Mutex, nullptr, m_mutexes, failure) &&
        ipc::OpenSet(FormatName(name, kClientSemFmt, base, 0), ipc::SemKind::Event, nullptr, m_requests, failure) &&
        ipc::OpenSet(FormatName(name, kServerSemFmt, base, 0), ipc::SemKind::Event, nullptr, m_answers, failure))
        return true;
    Forget();
    return false;
}

void SlotSets::Forget() { m_mutexes = m_requests = m_answers = ipc::Sem(); }

namespace {

// An event made or opened at rest: clear.
bool MakeEvent(const char* name, const PipeAccess& access, ipc::Sem& event, IpcFailure& failure) {
    bool existed = false;
    return ipc::MakeSet(name, ipc::SemKind::Event, 1, access, event, existed, failure) &&
           (!existed || ipc::SetValue(event, 1, failure));
}

}  // namespace

bool SlotObjects::Make(const char* base, int index, unsigned long size, const PipeAccess& access,
                       IpcFailure& failure) {
    char name[kNameBufferSize];
    bool existed = false;
    int mutexValue = 0;
    bool made = ipc::MakeSet(FormatName(name, kMutexFmt, base, index), ipc::SemKind::Mutex, 1, access, m_mutex,
                             existed, failure) &&
                ipc::Value(m_mutex, mutexValue, failure);
    if (made && mutexValue != 1) made = ipc::Fail(failure, "mutex still taken:", m_mutex.Name(), EBUSY);
    made = made && MakeEvent(FormatName(name, kClientSemFmt, base, index), access, m_request, failure) &&
           MakeEvent(FormatName(name, kServerSemFmt, base, index), access, m_answer, failure);
    if (made) {
        // A block left by a crashed server of this slot may be too small.
        ipc::RemoveNamed(FormatName(name, kShMemFmt, base, index), ipc::ObjectKind::Segment, true);
        made = ipc::MakeSegment(name, size, access, m_segment, existed, failure) && m_view.Attach(m_segment, failure);
        m_blockSize = size;
    }
    if (made) return true;
    RemoveBlock();
    Forget();
    return false;
}

bool SlotObjects::Open(const SlotSets& sets, const char* base, int index, IpcFailure& failure) {
    Forget();
    m_mutex = sets.m_mutexes.Member(index);
    m_request = sets.m_requests.Member(index);
    m_answer = sets.m_answers.Member(index);
    if (!m_mutex.IsOpen() || !m_request.IsOpen() || !m_answer.IsOpen()) {
        Forget();
        return ipc::Fail(failure, "member of a set", sets.m_mutexes.Name(), EINVAL);
    }
    if (OpenBlock(base, index, failure)) return true;
    Forget();
    return false;
}

bool SlotObjects::Open(const char* base, int index, IpcFailure& failure) {
    SlotSets sets;
    return sets.Open(base, failure) && Open(sets, base, index, failure);
}

bool SlotObjects::OpenBlock(const char* base, int index, IpcFailure& failure) {
    char name[kNameBufferSize];
    if (!ipc::OpenSegment(FormatName(name, kShMemFmt, base, index), m_segment, failure) ||
        !m_view.Attach(m_segment, failure) || !ipc::SegmentSize(m_segment, m_blockSize, failure))
        return false;
    // A block must hold its length word.
    return m_blockSize > 4 || ipc::Fail(failure, "pipe block smaller than its length word:", name, 0);
}

void SlotObjects::ForgetSemaphores() { m_mutex = m_request = m_answer = ipc::Sem(); }

void SlotObjects::Forget() {
    ForgetSemaphores();
    m_view.Detach();
    m_segment = ipc::Segment();
    m_blockSize = 0;
}

void SlotObjects::RemoveBlock() {
    m_view.Detach();
    IpcFailure reported;  // a failed removal is reported on standard error
    if (m_segment.IsOpen()) ipc::RemoveSegment(m_segment, reported);
    m_segment = ipc::Segment();
    m_blockSize = 0;
}

void SlotObjects::EraseSets(const char* base) {
    struct Set {
        ipc::Sem* member;
        const char* format;
    } sets[] = {{&m_request, kClientSemFmt}, {&m_answer, kServerSemFmt}, {&m_mutex, kMutexFmt}};
    char name[kNameBufferSize];
    IpcFailure reported;  // a failed removal is reported on standard error
    for (const Set& set : sets) {
        if (set.member->IsOpen()) ipc::RemoveSet(*set.member, reported);
        else ipc::RemoveNamed(FormatName(name, set.format, base, 0), ipc::ObjectKind::Set, true);
        *set.member = ipc::Sem();
    }
}
