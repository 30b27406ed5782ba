// What every answer and log line of the server task takes from a command:
// the bound of an answer, the command's name and its request values. Used by
// the field inspector, the mail pages and the log alike.
#ifndef VELMOX_SERVER_ANSWER_H
#define VELMOX_SERVER_ANSWER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cmd.h"
#include "pipe_limits.h"

// The longest answer the gateway's pipe block carries.
const size_t kMaxAnswerSize = kLargestMessage;

// The name of value in a lookup table ("Unknown" when none has it).
const char* TableName(const NameValue* table, uint32_t value);
// The command's name in the command table ("Unknown" for an identifier
// outside it).
const char* CommandName(const Cmd& cmd);
// A request value of the command's request record by index; "" when there is
// none.
const char* RequestValue(const Cmd& cmd, int index);
// A fixed text field of a command: up to its first NUL, never past its end.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

#endif
