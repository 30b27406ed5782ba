// What a Save request carries, read strictly: a field that could not be kept
// exactly as sent is refused with the reason, never cut or guessed at.
#ifndef VELMOX_SERVER_MAIL_FORM_H
#define VELMOX_SERVER_MAIL_FORM_H

#include <cstddef>
#include <string>

const size_t kMaxRecipientField = 1000;
const size_t kMaxSubjectField = 1000;

// The fields of the compose form; each is optional. The token is the
// form's, not the message's (mail_access.h).
struct SaveForm {
    bool hasTo = false, hasSubject = false, hasBody = false, hasToken = false;
    std::string to, subject, body, token;
};

// Reads the decoded form body of a Save (names and values, each ended by a
// NUL, closed by an empty name, as the gateway decodes a posted form) into
// `form`. Field names are to, subject, body and token in any case of letters.
// Returns "" when the form was read whole, else why it is refused: a field
// of another name or one given twice, a NUL byte inside a value or an empty
// item (either splits the list, so that what follows cannot be told apart),
// or a recipient or subject longer than its limit.
std::string ReadSaveForm(const char* list, size_t length, SaveForm& form);

// Checks the query string of a Save or Compose: a hexadecimal number,
// optionally followed by '&' and the ident, 32 hexadecimal digits. Returns ""
// when it is so (or empty), else why it is refused.
std::string QueryProblem(const std::string& query);

#endif
