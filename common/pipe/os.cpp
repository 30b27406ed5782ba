#include "os.h"

#include <climits>
#include <cstdio>

#include "except.h"
#include "platform.h"

namespace {

// Through stdio rather than std::cout: a gateway that links the C++
// standard streams builds the C++ locale at start-up, whether it traces or
// not. stdio and std::cout share one buffer order, so a program that mixes
// them still gets its lines in order.
void Trace(const char* text) { TracePipe(text); }

SimpleStream* NewStream(unsigned long size) {
    if (size > UINT_MAX) RAISE(IllegalArgsExc);
    return new SimpleStream((unsigned int)size);
}

}  // namespace

void TracePipe(const char* text) {
    if (!g_debug) return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

SimplePipe::SimplePipe() : m_open(0), m_output(nullptr), m_input(nullptr) {}

SimplePipe::~SimplePipe() {
    if (m_open) Close();
    Term();
}

void SimplePipe::Term() {
    delete m_output;
    delete m_input;
    m_output = nullptr;
    m_input = nullptr;
}

int SimplePipe::Create(const char* name, unsigned long outputSize, unsigned long inputSize,
                       const PipeAccess& access) {
    Term();
    m_output = NewStream(outputSize);
    m_input = NewStream(inputSize);
    unsigned long blockSize = outputSize >= inputSize ? outputSize : inputSize;
    if (!m_pipe.Create(name, blockSize, access)) RAISE_IPC(m_pipe.Failure());
    m_open = 1;
    return 1;
}

int SimplePipe::Connect() {
    Trace("Waiting for pipe connection...");
    int result = m_pipe.Connect();
    Trace("connected.\n");
    return result;
}

int SimplePipe::Read() {
    if (!m_input) return 0;
    Trace("Reading data from pipe...");
    unsigned long length = 0;
    int result = m_pipe.Read(m_input->m_begin, m_input->Capacity(), &length);
    m_input->SetEof(length);
    m_input->m_pos = m_input->m_begin;
    Trace("done.\n");
    return result;
}

int SimplePipe::Write() {
    if (!m_output) return 0;
    Trace("Writing data to pipe...");
    int result = m_pipe.Write(m_output->m_begin, m_output->Length());
    Trace("done.\n");
    return result;
}

int SimplePipe::Disconnect() {
    Trace("Disconnecting pipe...");
    int result = m_pipe.Disconnect();
    Trace("done.\n");
    return result;
}

int SimplePipe::Close() {
    int result = m_pipe.Close();
    Trace("Pipe closed\n");
    m_open = 0;
    return result;
}

int SimplePipe::Call(const char* name, void* request, unsigned long requestLen, unsigned char* reply,
                     unsigned long replySize, unsigned long* replyLen) {
    Trace("Calling Pipe...");
    int result = m_pipe.Call(name, static_cast<unsigned char*>(request), requestLen, reply, replySize, replyLen);
    Trace("done.<br>\n");
    return result;
}

int SimplePipe::SendTerminateMessage(const char* name) { return m_pipe.SendTerminateMessage(name); }
