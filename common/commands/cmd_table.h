// The table of command classes: every command class once, in identifier
// order. Every choice of a class by an identifier or by an object's type
// goes through it: both factories (an empty command that a message is read
// into, a command built from a request), the sample server's page and the
// comparisons of the fuzzers and tests. A class's identifier is its c_id and
// its name the entry of Cmd::c_table at that identifier; the checks below
// keep the identifiers, the name table and this list in step. A new class
// joins CmdID, c_table and this list, and every visitor that does not
// handle it stops compiling.
#ifndef VELMOX_CMD_TABLE_H
#define VELMOX_CMD_TABLE_H

#include <cstdint>
#include <type_traits>

#include "cmd.h"
#include "cmpcmd.h"
#include "mapcmd.h"
#include "runcmd.h"
#include "savcmd.h"
#include "schcmd.h"

template <class... Classes>
struct CmdClassList {};

using CmdClasses = CmdClassList<SaveCmd, ComposeCmd, SearchCmd, ImageMapCmd, RunAgentCmd>;

// One class of the list, for visitors that are given classes, not objects.
template <class C>
struct CmdClassTag {
    using Class = C;
    static constexpr Cmd::CmdID id = C::c_id;
    static constexpr const char* name = Cmd::c_table[C::c_id].name;
};

namespace cmd_table_detail {

template <class... C>
constexpr bool OneClassPerIdentifierInOrder(CmdClassList<C...>) {
    const Cmd::CmdID ids[] = {C::c_id...};
    for (uint32_t i = 0; i < sizeof...(C); ++i)
        if (ids[i] != i + 1) return false;
    return sizeof...(C) + 1 == Cmd::CmdCount;
}

// Entry i has the value i and a name; the closing entry has an empty one.
constexpr bool NameTableInOrder() {
    for (uint32_t i = 0; i <= Cmd::CmdCount; ++i) {
        if (Cmd::c_table[i].value != i) return false;
        if ((Cmd::c_table[i].name[0] == 0) != (i == Cmd::CmdCount)) return false;
    }
    return true;
}

template <class F, class... C>
bool ForClassOf(uint32_t id, F&& f, CmdClassList<C...>) {
    return ((id == C::c_id ? (f(CmdClassTag<C>()), true) : false) || ...);
}

template <class C, class Base, class Visitor>
bool VisitAs(Base& cmd, Visitor& visit) {
    using Target = typename std::conditional<std::is_const<Base>::value, const C, C>::type;
    Target* typed = dynamic_cast<Target*>(&cmd);
    if (!typed) return false;
    visit(*typed);
    return true;
}

template <class Base, class Visitor, class... C>
bool VisitIn(Base& cmd, Visitor& visit, CmdClassList<C...>) {
    return (VisitAs<C>(cmd, visit) || ...);
}

template <class F, class... C>
void ForEachIn(F& f, CmdClassList<C...>) {
    (f(CmdClassTag<C>()), ...);
}

}  // namespace cmd_table_detail

static_assert(cmd_table_detail::OneClassPerIdentifierInOrder(CmdClasses()),
              "one command class for each identifier from 1 to CmdCount - 1, in order");
static_assert(cmd_table_detail::NameTableInOrder(),
              "Cmd::c_table names each identifier in order and ends with an empty name");

// Calls f(CmdClassTag<C>()) for every class of the list, in order.
template <class F>
void ForEachCmdClass(F&& f) {
    cmd_table_detail::ForEachIn(f, CmdClasses());
}

// An empty command of the class of `id`, from its default constructor
// (identifier and parameter set, every other field zero or empty): what the
// server's factory reads a message into. Null when no class has the
// identifier. Raises OutOfMemoryExc.
inline Cmd* NewEmptyCmd(uint32_t id) {
    Cmd* cmd = nullptr;
    cmd_table_detail::ForClassOf(
        id, [&cmd](auto tag) { cmd = new typename decltype(tag)::Class(); }, CmdClasses());
    return cmd;
}

// A command of the class of `id` built from a request. Null when no class
// has the identifier. Raises what the class's request constructor raises.
inline Cmd* NewCmdFromRequest(uint32_t id, URL& url, CGI& cgi) {
    Cmd* cmd = nullptr;
    cmd_table_detail::ForClassOf(
        id, [&](auto tag) { cmd = new typename decltype(tag)::Class(url, cgi); }, CmdClasses());
    return cmd;
}

// Calls visit(c) with cmd as an object of its class in the list (a C&, or a
// const C& when cmd is const) and returns true; returns false without a call
// when cmd is of no class of the list (a bare Cmd). The class is found as
// dynamic_cast finds it, in the list's order, so an object of a class
// derived from a command class is visited as that class. Raises what visit
// raises.
template <class Base, class Visitor>
bool VisitCmd(Base& cmd, Visitor&& visit) {
    static_assert(std::is_base_of<Cmd, typename std::remove_const<Base>::type>::value,
                  "VisitCmd visits commands");
    return cmd_table_detail::VisitIn(cmd, visit, CmdClasses());
}

#endif
