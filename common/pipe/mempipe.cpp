#include "mempipe.h"

#include <cerrno>
#include <cstring>
#include <new>

PipeClient* MemoryPipe::Client(const char* name) {
    if (!m_client || std::strcmp(m_client->BaseName(), name) != 0) m_client.reset(new (std::nothrow) PipeClient(name));
    return m_client.get();
}

int MemoryPipe::Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
                     unsigned long replySize, unsigned long* replyLen) {
    if (!name) return Fail(IpcFailure::Protocol("no base name", ""));
    PipeClient* client = Client(name);
    if (!client) return Fail(IpcFailure::System("malloc", name, ENOMEM));
    if (client->Call(request, requestLen, reply, replySize, replyLen)) return 1;
    return Fail(client->Failure());
}
