// A command built from a request set up as the web server would.
#ifndef VELMOX_TEST_CMD_UTIL_H
#define VELMOX_TEST_CMD_UTIL_H

#include <memory>
#include <stdexcept>
#include <string>

#include "cgi.h"
#include "cmd.h"
#include "request_util.h"
#include "sstream.h"

struct Request {
    CGI cgi;  // outlives the command, which points to it
    std::unique_ptr<Cmd> cmd;

    explicit Request(const EnvList& vars, const std::string& body = "") {
        SetRequest(vars, body);
        cgi.InitFromEnv();
        cmd.reset(Cmd::CreateCmd(cgi));
    }
    template <class T>
    T& As() {
        T* typed = dynamic_cast<T*>(cmd.get());
        if (!typed) throw std::runtime_error("command of another class");
        return *typed;
    }
};

// The message as Dispatch sends it: the leading tag, then the command.
inline std::string Serialise(Cmd& cmd) {
    SimpleStream s(1 << 17);
    s << uint32_t(cmd.m_cmdID);
    cmd.Write(s);
    return std::string(s.Data(), s.Length());
}

#endif
