// A controller's flow through the running server: each command's answer,
// and the signals that came around it, kept until the flow awaits them.
#pragma once

#include <cctype>
#include <string>

#include "tests/e2e/server_process.h"
#include "tests/support/lgcp_frames.h"

namespace vbtest {

class AnsweredFlow {
protected:
    // The server started, with this flow as its controller.
    bool start() { return server.start() && ctl.connect(server.port()); }
    // The command's answer (the messages before it are kept for await).
    std::string on(unsigned slot, const LGCP::Command& c)
    {
        for (const std::string& t : ctl.exchange(lgcp(c, -1, int(slot))))
            pending.push_back(t);
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->find("success") != std::string::npos || it->find(" error ") != std::string::npos) {
                std::string answer = *it;
                pending.erase(it);
                return answer;
            }
        }
        return "no answer";
    }
    // The first message with this beginning, or other's (hexadecimal in
    // either case), waiting for it; the others stay for later. "" when
    // none came.
    std::string await(const std::string& prefix, const std::string& other = "")
    {
        auto starts = [](const std::string& t, const std::string& p) {
            return !p.empty() && lower(t.substr(0, p.size())) == lower(p);
        };
        for (size_t at = 0;; ++at) {
            if (at == pending.size()) {
                std::string t = ctl.next(3000);
                if (t.empty())
                    return "";
                pending.push_back(t);
            }
            if (starts(pending[at], prefix) || starts(pending[at], other)) {
                std::string t = pending[at];
                pending.erase(pending.begin() + long(at));
                return t;
            }
        }
    }
    static std::string lower(std::string s)
    {
        for (char& c : s)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    ServerProcess server;
    Controller ctl;
    Texts pending;
};

} // namespace vbtest
