// HTTP by hand over a loopback socket, for what a client library will not
// send: no Host header, two of them, headers that stop half way or arrive a
// byte at a time.
#pragma once

#include <httplib.h>

#include <chrono>
#include <optional>
#include <string>

namespace tool_test {

struct RawAnswer {
    int status = 0;
    httplib::Headers headers; // names compared without case
    std::string body;
};

// A connection to 127.0.0.1:`port`, closed when it goes.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False once the server has closed or reset the connection.
    bool send(const std::string& bytes);

    // True when the server has sent something, or closed, within `timeout`.
    bool readable(std::chrono::milliseconds timeout) const;

    // One answer (status line, headers, a body of Content-Length bytes), or
    // nothing when the connection ends first or `timeout` passes.
    std::optional<RawAnswer> answer(std::chrono::milliseconds timeout);

    // True when the server closes the connection within `timeout`, with
    // nothing more sent.
    bool closedBy(std::chrono::milliseconds timeout);

private:
    int socket_ = -1;
    std::string received_;
};

// `text` with every "{port}" replaced by `port`.
std::string withPort(std::string text, int port);

} // namespace tool_test
