/// @file
/// ComposeCmd (identifier 2): the path parts of a compose request and the
/// document identifier of its query string. Fields after the header:
/// @verbatim
///   m_server, m_path, m_reservedText, uint32 m_queryNumber,
///   uint32 m_identValid, and when it is not 0 the 16 bytes of m_ident.
/// @endverbatim
#ifndef VELMOX_CMPCMD_H
#define VELMOX_CMPCMD_H

#include <cstdint>

#include "cmd.h"

/// Scans a query string of the form "<hex>&" followed by four groups of up to
/// eight hex digits into ident. Returns 1 when all four were read, else 0 (the
/// words read before the failure stay in ident). Never fails.
uint32_t ScanQueryIdent(const char* query, uint32_t (&ident)[4]);

/// A compose request: the form to write a document with.
class ComposeCmd : public Cmd {
public:
    /// The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdCompose;
    /// Identifier and parameter 1, every other field empty or 0. Never fails.
    ComposeCmd();
    /// Raises nothing of its own.
    ComposeCmd(URL& url, CGI& cgi);
    ~ComposeCmd() override;  ///< Never fails.

    ///@{
    /// Raise what the stream raises; Read also CorruptDataExc for damage.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    char m_server[256] = {};  ///< the server name of the path (URL::m_server); "" for the task's own
    char m_path[256] = {};    ///< the rest of the path (URL::m_path)
    char m_reservedText[256] = {};  ///< left empty by the gateway
    uint32_t m_queryNumber = 0;     ///< the hexadecimal number at the head of the query string (URL::m_queryNumber)
    uint32_t m_ident[4] = {};       ///< the document identifier of the query string (ScanQueryIdent)
    uint32_t m_identValid = 0;      ///< 1 when m_ident was read whole, else 0
};

#endif
