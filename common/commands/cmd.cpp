#include "cmd.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <strings.h>

#include "cgi.h"
#include "cmd_table.h"
#include "except.h"
#include "os.h"
#include "pipe_client.h"
#include "pipe_limits.h"
#include "root.h"
#include "sstream.h"
#include "textutil.h"
#include "url.h"

Cmd::CmdHandler Cmd::c_handler = nullptr;
void* Cmd::c_handlerData = nullptr;

namespace {

// The handler pair is process-wide: threads of a server task read it while
// another may install a new one.
std::mutex g_handlerLock;

}  // namespace

uint32_t FindTableValue(const NameValue* table, const char* name) {
    if (!table || !name) return 0;
    size_t length = std::strlen(name);
    for (const NameValue* entry = table; entry->name[0]; ++entry)
        if (std::strlen(entry->name) == length && strncasecmp(name, entry->name, length) == 0)
            return entry->value;
    return 0;
}

void ReadReceivedBytes(SimpleStream& s, char* dst, uint32_t count) {
    if (count > s.Remaining() || count > uint32_t(INT32_MAX)) RAISE(CorruptDataExc);
    s.Read(dst, int(count));
}

void ReadReceivedString(SimpleStream& s, char* dst, size_t size) {
    if (!std::memchr(s.m_pos, 0, s.Remaining())) RAISE(CorruptDataExc);
    s.ReadString(dst, size);
}

Cmd::Cmd(CmdID id, uint32_t param) : m_cmdID(id), m_param(param) {}

Cmd::Cmd(CmdID id, uint32_t param, CGI& cgi) : m_cmdID(id), m_param(param) {
    CopyToField(m_remoteAddr, cgi.Value(CGI::RemoteAddr));
    CopyToField(m_remoteUser, cgi.Value(CGI::RemoteUser));
    CopyToField(m_userAgent, cgi.Value(CGI::HttpUserAgent));
    m_cgi = &cgi;
}

Cmd::~Cmd() {
    ReleaseResults();
    if (m_ownsCgi) delete m_cgi;
}

Cmd* Cmd::CreateCmd(CGI& cgi) {
    URL url;
    url.InitWithCGIdata(cgi);
    Cmd* cmd = NewCmdFromRequest(FindTableValue(c_table, url.m_command), url, cgi);
    if (!cmd) RAISE(UnknownCmdExc);
    return cmd;
}

Cmd* Cmd::CreateCmd(SimpleStream& s) {
    uint32_t tag = 0;
    s >> tag;
    // A half-read command is deleted before the exception passes on.
    std::unique_ptr<Cmd> cmd(NewEmptyCmd(tag));
    if (!cmd) RAISE(UnknownCmdExc);
    cmd->Read(s);
    return cmd.release();
}

SimpleStream& Cmd::Write(SimpleStream& s) {
    RootObject::Write(s);
    s << uint32_t(m_cmdID) << m_param << m_remoteAddr << m_remoteUser << m_userAgent;
    if (m_cgi) {
        m_cgi->Write(s);
    } else {
        CGI empty;
        empty.Write(s);
    }
    return s;
}

SimpleStream& Cmd::Read(SimpleStream& s) {
    RootObject::Read(s);
    uint32_t id = 0;
    s >> id;
    // A header naming another class would let a handler take this object
    // for a command of another type.
    if (id != m_cmdID) RAISE(CorruptDataExc);
    s >> m_param;
    ReadReceivedString(s, m_remoteAddr);
    ReadReceivedString(s, m_remoteUser);
    ReadReceivedString(s, m_userAgent);
    ReadRequestRecord(s);
    return s;
}

// The command owns the record it reads, so a server task leaks nothing.
void Cmd::ReadRequestRecord(SimpleStream& s) {
    if (m_ownsCgi) delete m_cgi;
    m_cgi = nullptr;
    m_cgi = new CGI();
    m_ownsCgi = 1;
    m_cgi->Read(s);
}

int Cmd::RegisterHandler(CmdHandler handler, void* data, CmdHandler* oldHandler, void** oldData) {
    std::lock_guard<std::mutex> hold(g_handlerLock);
    if (oldHandler) *oldHandler = c_handler;
    if (oldData) *oldData = c_handlerData;
    c_handler = handler;
    c_handlerData = data;
    return 1;
}

int Cmd::Execute() {
    CmdHandler handler;
    void* data;
    {
        std::lock_guard<std::mutex> hold(g_handlerLock);
        handler = c_handler;
        data = c_handlerData;
    }
    if (!handler) RAISE(CmdNotHandledExc);
    return handler(m_cmdID, this, data);
}

int Cmd::Init() { return 1; }

int Cmd::Term() { return 1; }

char* Cmd::GetResults(uint32_t* length) {
    if (length) *length = m_resultsLen;
    if (m_resultsLen == 0) return nullptr;
    return m_results ? m_results : m_inlineResults;
}

int Cmd::SetResults(const char* text) {
    if (!text) RAISE(IllegalArgsExc);
    StoreResults(text, uint32_t(std::strlen(text)) + 1);
    return 1;
}

// The bytes are copied before the earlier answer goes: they may lie in it.
void Cmd::StoreResults(const char* bytes, uint32_t length) {
    if (length > 0 && !bytes) RAISE(IllegalArgsExc);
    if (length > c_inlineResultsSize) {
        char* own = RootNewChars(length);
        std::memcpy(own, bytes, length);
        RootFree(m_results);
        m_results = own;
    } else {
        if (length > 0) std::memmove(m_inlineResults, bytes, length);
        RootFree(m_results);
        m_results = nullptr;
    }
    m_resultsLen = length;
}

void Cmd::ReleaseResults() {
    RootFree(m_results);
    m_results = nullptr;
    m_resultsLen = 0;
}

namespace {

// The longest answer a command takes: the size of a standard block.
const uint32_t kAnswerCapacity = kPipeBlockSize;

// A command's exchange in place: the request serialised straight into the
// server's block, the answer stored from there into the command's result,
// once. Nothing may be thrown through the pipe, which holds the server's
// mutex meanwhile: what is raised is kept and raised again after the call.
class CommandMessage : public PipeClient::Message {
public:
    explicit CommandMessage(Cmd& cmd) : m_cmd(cmd) {}

    unsigned long WriteRequest(char* room, unsigned long capacity) override {
        m_written = true;
        try {
            if (capacity > 0) {
                try {
                    return Serialise(room, uint32_t(std::min<unsigned long>(capacity, kLargestMessage)));
                } catch (const Exception&) {
                    // Too long for this server's block: its whole length says
                    // by how much, or it is too long for any block.
                }
            }
            std::unique_ptr<char[]> whole(new char[kPipeBlockSize]);
            unsigned long length = SerialiseWhole(whole.get());
            if (length <= capacity) std::memcpy(room, whole.get(), length);
            return length;
        } catch (...) {
            m_raised = std::current_exception();
            return PipeClient::Message::kGiveUp;
        }
    }

    void TakeAnswer(const char* answer, unsigned long length, unsigned long whole) override {
        m_whole = whole;
        try {
            // An answer longer than the gateway takes arrives cut to it.
            m_cmd.StoreResults(answer, uint32_t(std::min<unsigned long>(length, kAnswerCapacity)));
        } catch (...) {
            m_raised = std::current_exception();
        }
    }

    // Raises what the command raised, then the pipe's failure; an empty
    // answer is a failure too. A request too long for any block is told as
    // such whatever the pipe's state, as when it was refused before the
    // call: a call that failed before writing it (no server) looks.
    void Finish(int called, const IpcFailure& failure) {
        if (m_raised) std::rethrow_exception(m_raised);
        if (!called && !m_written) {
            std::unique_ptr<char[]> whole(new char[kPipeBlockSize]);
            SerialiseWhole(whole.get());
        }
        if (!called) RAISE_IPC(failure);
        if (m_whole == 0) RAISE_IPC(IpcFailure::Protocol("empty answer from the server task at", kGatewayPipeName));
    }

private:
    // Into a buffer of kPipeBlockSize bytes; raises what the stream raises,
    // or OutOfRangeExc for a request no block carries.
    unsigned long SerialiseWhole(char* buffer) {
        unsigned long length = Serialise(buffer, kPipeBlockSize);
        if (length > kLargestMessage) RAISE(OutOfRangeExc);
        return length;
    }

    unsigned long Serialise(char* buffer, uint32_t size) {
        SimpleStream request(buffer, size);
        request << uint32_t(m_cmd.m_cmdID);
        m_cmd.Write(request);
        return request.Length();
    }

    Cmd& m_cmd;
    unsigned long m_whole = 0;
    bool m_written = false;
    std::exception_ptr m_raised;
};

}  // namespace

int Cmd::Dispatch() {
    SimplePipe pipe;
    return Dispatch(pipe);
}

int Cmd::Dispatch(SimplePipe& pipe) {
    PipeClient* client = pipe.m_pipe.Client(kGatewayPipeName);
    if (!client) RAISE(OutOfMemoryExc);
    CommandMessage message(*this);
    TracePipe("Calling Pipe...");
    int called = client->Call(message);
    TracePipe("done.<br>\n");
    message.Finish(called, client->Failure());
    return 1;
}
