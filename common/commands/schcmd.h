/// @file
/// SearchCmd (identifier 3): a full-text search. It decides the kind of
/// request from the form, takes the search text and the earlier request from
/// the decoded body and three result options from the raw body. Fields after
/// the header:
/// @verbatim
///   uint32 m_searchKind, m_server, m_path, uint32 m_queryNumber,
///   uint32 m_orderOfCollection, uint32 m_wordVarient, m_searchText,
///   uint32 m_max, m_oldSearchRequest
/// @endverbatim
#ifndef VELMOX_SCHCMD_H
#define VELMOX_SCHCMD_H

#include <cstdint>

#include "cmd.h"

/// Looks up the field `name` (case-sensitive) in a decoded form list of
/// listLen bytes (name, value, name, value, ..., empty name) and copies its
/// value, cut to size - 1 characters and padded with NULs, into dst. Returns
/// dst when the field is there, else null with dst untouched. Never reads
/// outside the list; a null list, name or dst, or a size below 1, finds nothing.
char* ParseField(char* dst, int size, const char* name, const char* list, int listLen);
/// The documented form: the same over a list whose end is its empty name,
/// found by walking it name, value, name ... as the lookup does. The list
/// must end so: every list the library holds does, whatever its bytes,
/// through the zero guard after it (kFormListGuard).
char* ParseField(char* dst, int size, const char* name, const char* list);

/// A full-text search, its kind, text and options.
class SearchCmd : public Cmd {
public:
    /// The identifier of the class (its entry in cmd_table.h).
    static constexpr CmdID c_id = CmdSearch;
    /// The kind of search request (m_searchKind).
    enum SearchKind : uint32_t { KindUnknown = 0, KindQuickSearch = 1, KindSearch = 2, KindOptions = 3 };
    /// The names of the kinds as SREQUEST gives them, in NameValue form.
    static const NameValue c_Searchtable[5];

    /// Identifier and parameter 1, every other field empty or 0. Never fails.
    SearchCmd();
    /// Raises nothing of its own: an absent or malformed key gives a kind, a
    /// default or 0.
    SearchCmd(URL& url, CGI& cgi);
    ~SearchCmd() override;  ///< Never fails.

    ///@{
    /// Raise what the stream raises; Read also CorruptDataExc for damage.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    /// The kind that the raw body asks for: SREQUEST decides when present,
    /// else SEARCHRESULTSPAGE gives Search, else Unknown. Never fails.
    static uint32_t GetSearchCmd(CGI& cgi);
    /// Search text, earlier request and the three options from the form;
    /// returns 1. Never fails, like the parsers below.
    int ParseStdInput(CGI& cgi);
    ///@{
    /// Return 0 when the key is absent (the field then holds its default),
    /// else 1.
    int ParseMax(CGI& cgi);
    int ParseOrderOfCollection(CGI& cgi);
    ///@}
    /// 1 when WORDVARIENT= is in the body, else 0; returns 1.
    int ParseWordVarient(CGI& cgi);
    ///@{
    /// Set the field's default and return it. Never fail.
    uint32_t SetMAXtoDefault();
    uint32_t SetOFCtoDefault();
    uint32_t SetWVtoDefault();
    ///@}

    uint32_t m_searchKind = 0;  ///< a SearchKind
    char m_server[256] = {};  ///< the server name of the path (URL::m_server); "" for the task's own
    char m_path[256] = {};    ///< the rest of the path (URL::m_path)
    uint32_t m_queryNumber = 0;        ///< the hexadecimal number at the head of the query string
    uint32_t m_orderOfCollection = 0;  ///< 1, 2 or 3; default 1
    uint32_t m_wordVarient = 0;        ///< default 1
    char m_searchText[256] = {};       ///< the text searched for, from the form
    char m_oldSearchRequest[256] = {}; ///< the earlier request, from the form
    uint32_t m_max = 0;                ///< default 0

private:
    void ParseTexts(CGI& cgi);
    void ParseGeneralRequest(CGI& cgi);
    void SetOptionsToDefault();
};

#endif
