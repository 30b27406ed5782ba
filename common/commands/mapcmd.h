/// @file
/// ImageMapCmd (identifier 4): a click on a server-side image map, reported by
/// the browser as "x,y" in the query string. Fields after the header:
/// @verbatim
///   m_server, m_path, uint32 m_x, uint32 m_y (the bits of the signed values).
/// @endverbatim
#ifndef VELMOX_MAPCMD_H
#define VELMOX_MAPCMD_H

#include <cstdint>

#include "cmd.h"

/// A click on a server-side image map.
class ImageMapCmd : public Cmd {
public:
    /// The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdImageMap;
    /// Identifier and parameter 1, every other field empty or 0. Never fails.
    ImageMapCmd();
    /// A coordinate that is missing or outside int is 0; raises nothing.
    ImageMapCmd(URL& url, CGI& cgi);
    ~ImageMapCmd() override;  ///< Never fails.

    ///@{
    /// Raise what the stream raises; Read also CorruptDataExc for damage.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    char m_server[256] = {};  ///< the server name of the path (URL::m_server); "" for the task's own
    char m_path[256] = {};    ///< the rest of the path (URL::m_path)
    int32_t m_x = 0;  ///< the click's x coordinate, from the query string "x,y"
    int32_t m_y = 0;  ///< the click's y coordinate
};

#endif
