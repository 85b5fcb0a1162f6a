#include "raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tool_test {

using Clock = std::chrono::steady_clock;

RawConnection::RawConnection(int port)
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ < 0
        || connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (socket_ >= 0)
            close(socket_);
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    }
}

RawConnection::~RawConnection()
{
    close(socket_);
}

bool RawConnection::send(const std::string& bytes)
{
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

bool RawConnection::readable(std::chrono::milliseconds timeout) const
{
    pollfd ready{socket_, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(timeout.count())) > 0;
}

std::optional<RawAnswer> RawConnection::answer(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    auto more = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !readable(left))
            return false;
        char chunk[4096];
        ssize_t n = recv(socket_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        received_.append(chunk, std::size_t(n));
        return true;
    };
    std::size_t end = 0;
    while ((end = received_.find("\r\n\r\n")) == std::string::npos)
        if (!more())
            return std::nullopt;
    RawAnswer answer;
    std::string head = received_.substr(0, end + 2);
    std::size_t lineEnd = head.find("\r\n");
    std::size_t space = head.find(' ');
    if (space == std::string::npos || space > lineEnd)
        return std::nullopt;
    answer.status = std::stoi(head.substr(space + 1, 3));
    for (std::size_t at = lineEnd + 2; at < head.size();) {
        std::size_t next = head.find("\r\n", at);
        std::string line = head.substr(at, next - at);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos)
            answer.headers.emplace(line.substr(0, colon),
                                   line.substr(line.find_first_not_of(' ', colon + 1)));
        at = next + 2;
    }
    auto lengthHeader = answer.headers.find("Content-Length");
    std::size_t length =
        lengthHeader == answer.headers.end() ? 0 : std::stoul(lengthHeader->second);
    std::size_t bodyStart = end + 4;
    while (received_.size() < bodyStart + length)
        if (!more())
            return std::nullopt;
    answer.body = received_.substr(bodyStart, length);
    received_.erase(0, bodyStart + length);
    return answer;
}

bool RawConnection::closedBy(std::chrono::milliseconds timeout)
{
    if (!readable(timeout))
        return false;
    char c = 0;
    return recv(socket_, &c, 1, 0) <= 0;
}

std::string withPort(std::string text, int port)
{
    const std::string mark = "{port}";
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), std::to_string(port));
    return text;
}

} // namespace tool_test
