// SaveCmd (identifier 1): a compose command's fields plus the decoded form
// body. Fields after the header:
//   m_server, m_path, m_reservedText, uint32 m_queryNumber, uint32 m_bodyLen,
//   uint32 m_identValid, m_bodyLen raw body bytes, and when m_identValid is
//   not 0 the 16 bytes of m_ident.
#ifndef VELMOX_SAVCMD_H
#define VELMOX_SAVCMD_H

#include <cstdint>

#include "cmd.h"

class SaveCmd : public Cmd {
public:
    // The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdSave;
    // Identifier and parameter 1, every other field empty or 0. Never fails.
    SaveCmd();
    // Copies the decoded body, or takes it from a record that hands it over
    // (CGI::HandOverContents). Raises OutOfMemoryExc when it cannot be held.
    SaveCmd(URL& url, CGI& cgi);
    ~SaveCmd() override;

    // Write raises the stream's exceptions (OutOfRangeExc for a body that
    // does not fit). Read raises CorruptDataExc for a body length beyond the
    // data remaining or other damage, and the stream's exceptions.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;

    char m_server[256] = {};
    char m_path[256] = {};
    char m_reservedText[256] = {};  // left empty by the gateway
    uint32_t m_queryNumber = 0;
    uint32_t m_ident[4] = {};
    uint32_t m_identValid = 0;
    uint32_t m_bodyLen = 0;
    char* m_body = nullptr;  // owned; null when m_bodyLen is 0; the library's
                             // bodies end in kFormListGuard zero bytes

private:
    void ReadBody(SimpleStream& s, uint32_t length);
};

#endif
