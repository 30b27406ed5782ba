/// @file
/// SaveCmd (identifier 1): a compose command's fields plus the decoded form
/// body. Fields after the header:
/// @verbatim
///   m_server, m_path, m_reservedText, uint32 m_queryNumber, uint32 m_bodyLen,
///   uint32 m_identValid, m_bodyLen raw body bytes, and when m_identValid is
///   not 0 the 16 bytes of m_ident.
/// @endverbatim
#ifndef VELMOX_SAVCMD_H
#define VELMOX_SAVCMD_H

#include <cstdint>

#include "cmd.h"

/// A save request: the compose command's fields and the decoded form body.
class SaveCmd : public Cmd {
public:
    /// The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdSave;
    /// Identifier and parameter 1, every other field empty or 0. Never fails.
    SaveCmd();
    /// Copies the decoded body, or takes it from a record that hands it over
    /// (CGI::HandOverContents). Raises OutOfMemoryExc when it cannot be held.
    SaveCmd(URL& url, CGI& cgi);
    ~SaveCmd() override;  ///< Releases the body. Never fails.

    ///@{
    /// Write raises the stream's exceptions (OutOfRangeExc for a body that
    /// does not fit). Read raises CorruptDataExc for a body length beyond the
    /// data remaining or other damage, and the stream's exceptions.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    char m_server[256] = {};  ///< the server name of the path (URL::m_server); "" for the task's own
    char m_path[256] = {};    ///< the rest of the path (URL::m_path)
    char m_reservedText[256] = {};  ///< left empty by the gateway
    uint32_t m_queryNumber = 0;     ///< the hexadecimal number at the head of the query string (URL::m_queryNumber)
    uint32_t m_ident[4] = {};       ///< the document identifier of the query string (ScanQueryIdent)
    uint32_t m_identValid = 0;      ///< 1 when m_ident was read whole, else 0
    uint32_t m_bodyLen = 0;         ///< the length of m_body
    /// The decoded form body: owned; null when m_bodyLen is 0; the library's
    /// bodies end in kFormListGuard zero bytes.
    char* m_body = nullptr;

private:
    void ReadBody(SimpleStream& s, uint32_t length);
};

#endif
