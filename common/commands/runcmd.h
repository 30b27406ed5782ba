/// @file
/// RunAgentCmd (identifier 5): runs an agent named by the request path.
/// Fields after the header: m_server, m_path, m_query, uint32 m_reserved.
#ifndef VELMOX_RUNCMD_H
#define VELMOX_RUNCMD_H

#include <cstdint>

#include "cmd.h"

/// A request to run the agent that the path names.
class RunAgentCmd : public Cmd {
public:
    /// The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdRunAgent;
    /// Identifier and parameter 1, every other field empty or 0. Never fails.
    RunAgentCmd();
    /// Raises nothing of its own.
    RunAgentCmd(URL& url, CGI& cgi);
    ~RunAgentCmd() override;  ///< Never fails.

    ///@{
    /// Raise what the stream raises; Read also CorruptDataExc for damage.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    char m_server[256] = {};  ///< the server name of the path (URL::m_server); "" for the task's own
    char m_path[256] = {};    ///< the rest of the path (URL::m_path)
    char m_query[256] = {};   ///< the query string (URL::m_query)
    uint32_t m_reserved = 0;  ///< 0 from the gateway
};

#endif
