// Who a mail request is for, and whether it may change mail.
//
// Users. The web server authenticates; the server task takes REMOTE_USER as
// the user only when AUTH_TYPE says that the web server did (CGI/1.1 sets
// both for an authenticated request, and REMOTE_USER alone proves nothing:
// a web server may fill it from a header the client sent). A request without
// both is nobody's: the mail pages refuse it, or serve it the public mailbox
// under --public.
//
// Writes from other sites. A page of another site can make the user's
// browser post a form here, with the user's credentials. Every form that
// posts to Save carries a token, the HMAC-SHA256 of the user's name under a
// secret only the server task knows (made at its first start, mode 0600),
// which no page of another site can read; a Save without the token of its
// user, or whose Referer names another site, changes nothing. The Referer
// is the one sign of the sending page that the request record carries.
//
// Error convention: the checks return "" when the request passes, else why
// not, a sentence for its page; FormSecret::Load returns false with the
// cause (call, file, errno text).
#ifndef VELMOX_SERVER_MAIL_ACCESS_H
#define VELMOX_SERVER_MAIL_ACCESS_H

#include <cstddef>
#include <string>

#include "store.h"

class Cmd;

// The name of the Save form's field that carries the token.
const char kTokenField[] = "token";

// A request variable of the command's record, by name ("" when not set).
std::string RequestVariable(const Cmd& cmd, const char* name);

// The user the web server authenticated (*user), "" when the request has
// none. Returns "" when the request may go on, else why it is refused.
std::string UserOf(const Cmd& cmd, std::string* user);

// "" when `referer` is empty or an http or https URL whose host is
// `serverName` (letters in any case; ports are not compared: behind a proxy
// the browser's port is not the web server's); else why the request is
// taken for another site's.
std::string RefererProblem(const std::string& referer, const std::string& serverName);

class FormSecret {
public:
    // Reads the secret in `path`, first making the file (32 random bytes as
    // 64 hexadecimal digits, mode 0600) when there is none; processes that
    // start at once all end with the one that was made first. A file of
    // another user is refused; one of this user that others may read is
    // made private. False, with the cause in *why, when there is no secret.
    bool Load(const std::string& path, std::string* why);
    // The token of a user's forms: 64 hexadecimal digits.
    std::string Token(const std::string& user) const;
    // True when `token` is the user's (compared in constant time).
    bool Matches(const std::string& user, const std::string& token) const;
    bool loaded() const { return m_key.size() == kKeySize; }

private:
    static const size_t kKeySize = 32;
    std::string m_key;
};

#endif
