// Fuzz target: the server's command factory (Cmd::CreateCmd(SimpleStream&))
// over an arbitrary received message.
//
// Input: the message, in a heap block of exactly its size wrapped by the
// stream, with the end of data at its end.
//
// Properties:
//  - the factory either raises an exception of the system or returns a
//    command of the class its leading tag names, having read no byte beyond
//    the end of data;
//  - every text field of that command is terminated within its width;
//  - written back (tag and fields), the message is no longer than what was
//    read; read again by the factory it gives a command with the same fields,
//    which writes the same bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "cmd.h"
#include "cmd_compare.h"
#include "cmd_table.h"
#include "except.h"
#include "fuzz_util.h"
#include "sstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // a stream needs a buffer of at least one byte
    fuzz::ExactBytes input(data, size);
    std::unique_ptr<Cmd> cmd;
    size_t consumed = 0;
    try {
        SimpleStream s(input.data(), unsigned(size));
        s.SetEof(uint32_t(size));
        cmd.reset(Cmd::CreateCmd(s));
        FUZZ_CHECK(s.m_pos >= s.m_begin && s.m_pos <= s.m_eof);
        consumed = size_t(s.m_pos - s.m_begin);
    } catch (const Exception&) {
        return 0;
    }
    FUZZ_CHECK(cmd != nullptr);
    uint32_t tag = 0;
    std::memcpy(&tag, input.data(), sizeof tag);
    FUZZ_CHECK(tag >= Cmd::CmdSave && tag <= Cmd::CmdRunAgent && cmd->m_cmdID == tag);
    bool known = VisitCmd(*cmd, [tag](const auto& typed) {
        FUZZ_CHECK(std::decay_t<decltype(typed)>::c_id == tag);
    });
    FUZZ_CHECK(known);
    FUZZ_CHECK(cmd->m_cgi != nullptr);
    std::string wire = fuzz::CheckRoundTrip(*cmd, consumed + 64);
    FUZZ_CHECK(wire.size() <= consumed);
    return 0;
}
