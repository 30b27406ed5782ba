#include "except.h"

#include <cstring>

#include "platform.h"
#include "sstream.h"

const char* const Exception::c_excName[Exception::c_excCount] = {
    "Unknown Exception",
    "Out Of Memory Exception",
    "Bad Argument Exception",
    "Unknown Command Exception",
    "Invalid URL Exception",
    "IPC Exception",
    "Illegal Arguments Exception",
    "Buffer Overflow Exception",
    "Out Of Range Exception",
    "Command Not Handled Exception",
    "Corrupt Data Exception",
    "Item Not Found Exception",
    "Orvan Zatch Exception",
};

Exception::Exception(ExcId id, const char* file, int line) noexcept
    : m_id(id), m_file(nullptr), m_line(line) {
    if (file) {
        const char* slash = std::strrchr(file, '\\');
        m_file = slash ? slash + 1 : file;
    }
}

Exception::~Exception() {}

void Exception::Report(SimpleStream& s) const {
    uint32_t id = m_id;
    s << (id < uint32_t(c_excCount) ? c_excName[id] : c_excName[ExcUnknown]);
    if (m_file) {
        char digits[16];
        s << " - " << m_file << ": " << itoa(m_line, digits, 10);
    }
    s << "\n";
}

OutOfMemoryExc::~OutOfMemoryExc() {}
BadArgumentExc::~BadArgumentExc() {}
UnknownCmdExc::~UnknownCmdExc() {}
InvalidURLExc::~InvalidURLExc() {}
IPCexc::IPCexc(const char* file, int line) noexcept : Exception(ExcIPC, file, line), m_refused(false) {
    m_cause[0] = 0;
}

IPCexc::IPCexc(const char* file, int line, const IpcFailure& cause) noexcept
    : Exception(ExcIPC, file, line), m_refused(cause.Refused()) {
    cause.Text(m_cause, sizeof m_cause);
}

IPCexc::~IPCexc() {}
IllegalArgsExc::~IllegalArgsExc() {}
BufferOverflowExc::~BufferOverflowExc() {}
OutOfRangeExc::~OutOfRangeExc() {}
CmdNotHandledExc::~CmdNotHandledExc() {}
CorruptDataExc::~CorruptDataExc() {}
