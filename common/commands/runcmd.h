// RunAgentCmd (identifier 5): runs an agent named by the request path.
// Fields after the header: m_server, m_path, m_query, uint32 m_reserved.
#ifndef VELMOX_RUNCMD_H
#define VELMOX_RUNCMD_H

#include <cstdint>

#include "cmd.h"

class RunAgentCmd : public Cmd {
public:
    // The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdRunAgent;
    // Identifier and parameter 1, every other field empty or 0. Never fails.
    RunAgentCmd();
    // Raises nothing of its own.
    RunAgentCmd(URL& url, CGI& cgi);
    ~RunAgentCmd() override;

    // Raise what the stream raises; Read also CorruptDataExc for damage.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;

    char m_server[256] = {};
    char m_path[256] = {};
    char m_query[256] = {};
    uint32_t m_reserved = 0;  // 0 from the gateway
};

#endif
