#include "mail_form.h"

#include <cstring>

#include "mail_access.h"
#include "html_text.h"
#include "mail_text.h"

namespace {

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return lower;
}

// The string at pos up to its NUL; false when the list ends before one.
bool NextString(const char* list, size_t length, size_t& pos, std::string& text) {
    const void* zero = pos < length ? std::memchr(list + pos, 0, length - pos) : nullptr;
    if (!zero) return false;
    size_t end = size_t(static_cast<const char*>(zero) - list);
    text.assign(list + pos, end - pos);
    pos = end + 1;
    return true;
}

// A field name as a page may quote it: short, and shown escaped there.
std::string Quoted(const std::string& name) {
    return "\"" + (name.size() > 40 ? name.substr(0, 40) + "..." : name) + "\"";
}

}  // namespace

std::string ReadSaveForm(const char* list, size_t length, SaveForm& form) {
    form = SaveForm();
    const std::string split =
        "the form has a NUL byte inside a value or an empty item (&& or a trailing &), so its fields cannot be told "
        "apart";
    size_t pos = 0;
    while (pos < length) {
        std::string name, value;
        if (!NextString(list, length, pos, name)) return split;
        if (name.empty()) {
            if (pos != length) return split;
            break;
        }
        // A last name without '=' has the empty value the gateway appends.
        if (pos < length && !NextString(list, length, pos, value)) return split;
        std::string key = Lower(name);
        bool* has = nullptr;
        std::string* field = nullptr;
        if (key == "to") has = &form.hasTo, field = &form.to;
        else if (key == "subject") has = &form.hasSubject, field = &form.subject;
        else if (key == "body") has = &form.hasBody, field = &form.body;
        else if (key == kTokenField) has = &form.hasToken, field = &form.token;
        else
            return "the form has a field " + Quoted(name) +
                   " that Save does not keep: it keeps to, subject and body, with the form's token (a NUL byte, %00, inside a value also "
                   "makes what follows it read as another field)";
        if (*has) return "the form has the field " + Quoted(name) + " twice";
        *has = true;
        *field = value;
    }
    if (form.to.size() > kMaxRecipientField)
        return "the recipient is " + std::to_string(form.to.size()) + " bytes long; at most " +
               std::to_string(kMaxRecipientField) + " are kept";
    if (form.subject.size() > kMaxSubjectField)
        return "the subject is " + std::to_string(form.subject.size()) + " bytes long; at most " +
               std::to_string(kMaxSubjectField) + " are kept";
    return "";
}

std::string QueryProblem(const std::string& query) {
    size_t amp = query.find('&');
    std::string number = query.substr(0, amp);
    for (char c : number)
        if (!std::strchr("0123456789abcdefABCDEF", c) || c == 0)
            return "the query string must be a hexadecimal number, then '&' and an ident of 32 hexadecimal digits";
    if (amp == std::string::npos) return "";
    if (number.empty()) return "the query string must start with a hexadecimal number before '&' and the ident";
    if (!IsIdentText(query.substr(amp + 1)))
        return "the ident after '&' in the query string must be 32 hexadecimal digits";
    return "";
}
