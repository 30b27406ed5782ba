#include "answer.h"

#include "cgi.h"

const char* TableName(const NameValue* table, uint32_t value) {
    for (const NameValue* entry = table; entry->name[0]; ++entry)
        if (entry->value == value) return entry->name;
    return "Unknown";
}

const char* CommandName(const Cmd& cmd) { return TableName(Cmd::c_table, uint32_t(cmd.m_cmdID)); }

const char* RequestValue(const Cmd& cmd, int index) {
    const char* value = cmd.m_cgi ? cmd.m_cgi->Value(index) : nullptr;
    return value ? value : "";
}
