#include "guarded_server.h"

#include "request_guard.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vivanto {

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    socket_t socket = INVALID_SOCKET;
    std::string buffer;       // received and not yet read by a request, from `consumed` on
    std::size_t consumed = 0; //
    Clock::time_point deadline;
    bool requestStarted = false; // some of the next request has arrived
    std::size_t answered = 0;    // requests answered on this connection
};

void closeConnection(Connection& connection)
{
    if (connection.socket == INVALID_SOCKET)
        return;
    shutdown(connection.socket, SHUT_RDWR);
    close(connection.socket);
    connection.socket = INVALID_SOCKET;
}

// Where the library's line reader sees the empty line that ends the headers
// (a line is whatever ends in "\n", the empty one is "\r\n"), if it is within
// the first kLargestHeaders bytes.
bool headersComplete(const Connection& connection)
{
    std::size_t end = connection.buffer.find("\n\r\n", connection.consumed);
    return end != std::string::npos && end + 3 - connection.consumed <= kLargestHeaders;
}

std::size_t unread(const Connection& connection)
{
    return connection.buffer.size() - connection.consumed;
}

// An answer the front sends itself, before the library has seen the request.
std::string frontAnswer(int status, const char* reason, const std::string& message)
{
    std::string body = nlohmann::json{{"error", message}}.dump();
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason
        + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\nContent-Security-Policy: " + kApiPolicy + "\r\n";
    for (const auto& [name, value] : everyAnswersHeaders())
        text.append(name).append(": ").append(value).append("\r\n");
    return text + "\r\n" + body;
}

// Best effort: the client may have stopped reading, and it is closed next anyway.
void sendAndClose(Connection& connection, const std::string& answer)
{
    send(connection.socket, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    closeConnection(connection);
}

bool waitFor(socket_t socket, short events, int milliseconds)
{
    pollfd ready{socket, events, 0};
    for (;;) {
        int result = poll(&ready, 1, std::max(0, milliseconds));
        if (result >= 0)
            return result > 0;
        if (errno != EINTR)
            return false;
    }
}

int millisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 60'000));
}

void addressOf(const sockaddr_storage& address, std::string& ip, int& port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

// A connection whose request headers are in its buffer: reads come from the
// buffer first, then from the socket until the body's deadline.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(Connection& connection, int writeMilliseconds)
        : connection_(connection)
        , readDeadline_(Clock::now() + std::chrono::seconds(kHeaderSeconds))
        , writeMilliseconds_(writeMilliseconds)
    {
    }

    bool is_readable() const override
    {
        return unread(connection_) > 0
            || waitFor(connection_.socket, POLLIN, millisecondsUntil(readDeadline_));
    }

    bool is_writable() const override
    {
        return waitFor(connection_.socket, POLLOUT, writeMilliseconds_);
    }

    ssize_t read(char* into, size_t size) override
    {
        if (std::size_t buffered = unread(connection_); buffered > 0) {
            std::size_t n = std::min(size, buffered);
            std::memcpy(into, connection_.buffer.data() + connection_.consumed, n);
            connection_.consumed += n;
            return static_cast<ssize_t>(n);
        }
        if (!waitFor(connection_.socket, POLLIN, millisecondsUntil(readDeadline_)))
            return -1;
        ssize_t n = 0;
        do
            n = recv(connection_.socket, into, size, 0);
        while (n < 0 && errno == EINTR);
        return n;
    }

    ssize_t write(const char* from, size_t size) override
    {
        if (!is_writable())
            return -1;
        return send(connection_.socket, from, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getpeername(connection_.socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            addressOf(address, ip, port);
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(connection_.socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            addressOf(address, ip, port);
    }

    socket_t socket() const override { return connection_.socket; }

private:
    Connection& connection_;
    Clock::time_point readDeadline_;
    int writeMilliseconds_;
};

// Bytes in, bytes out: a connection with no socket.
class MemoryStream final : public httplib::Stream {
public:
    MemoryStream(std::string_view input, int localPort)
        : input_(input)
        , localPort_(localPort)
    {
    }

    bool exhausted() const { return input_.empty(); }
    const std::string& written() const { return output_; }

    bool is_readable() const override { return !input_.empty(); }
    bool is_writable() const override { return true; }

    ssize_t read(char* into, size_t size) override
    {
        std::size_t n = std::min(size, input_.size());
        std::memcpy(into, input_.data(), n);
        input_.remove_prefix(n);
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* from, size_t size) override
    {
        output_.append(from, size);
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = 1;
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = localPort_;
    }

    socket_t socket() const override { return INVALID_SOCKET; }

private:
    std::string_view input_;
    int localPort_;
    std::string output_;
};

} // namespace

class GuardedServer::Front {
public:
    explicit Front(GuardedServer& server)
        : server_(server)
        , wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (wake_ < 0)
            throw std::runtime_error(std::string("no eventfd: ") + std::strerror(errno));
        threads_.emplace_back([this] { watch(); });
        for (int w = 0; w < kWorkers; ++w)
            threads_.emplace_back([this] { work(); });
    }

    ~Front()
    {
        {
            std::scoped_lock lock(mutex_);
            stopping_ = true;
        }
        readyChanged_.notify_all();
        wake();
        for (std::thread& thread : threads_)
            thread.join();
        for (Connection& connection : arriving_)
            closeConnection(connection);
        for (Connection& connection : ready_)
            closeConnection(connection);
        close(wake_);
    }

    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    // A new connection, from the library's accepting thread.
    void admit(socket_t socket)
    {
        int yes = 1; // answers go out in two writes, headers and body: no waiting between them
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        Connection connection;
        connection.socket = socket;
        connection.deadline = Clock::now() + std::chrono::seconds(kHeaderSeconds);
        toWatcher(std::move(connection));
    }

private:
    void wake() const
    {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_, &one, sizeof one);
    }

    void toWatcher(Connection connection)
    {
        std::unique_lock lock(mutex_);
        if (stopping_) {
            lock.unlock();
            closeConnection(connection);
            return;
        }
        arriving_.push_back(std::move(connection));
        lock.unlock();
        wake();
    }

    void toWorkers(Connection connection)
    {
        {
            std::scoped_lock lock(mutex_);
            ready_.push_back(std::move(connection));
        }
        readyChanged_.notify_one();
    }

    // Moves what has come in to `waiting`; false once the server stops.
    bool collect(std::vector<Connection>& waiting)
    {
        std::scoped_lock lock(mutex_);
        if (stopping_)
            return false;
        for (Connection& connection : arriving_)
            waiting.push_back(std::move(connection));
        arriving_.clear();
        return true;
    }

    // Hands on the complete, answers and closes the late; true to keep it here.
    bool stillWaiting(Connection& connection, Clock::time_point now)
    {
        if (headersComplete(connection)) {
            toWorkers(std::move(connection));
            return false;
        }
        if (unread(connection) > kLargestHeaders) {
            sendAndClose(connection,
                         frontAnswer(431, "Request Header Fields Too Large",
                                     "request headers too large (at most "
                                         + std::to_string(kLargestHeaders) + " bytes)"));
            return false;
        }
        if (connection.deadline <= now) {
            if (connection.requestStarted)
                sendAndClose(connection,
                             frontAnswer(408, "Request Timeout",
                                         "request headers not complete within "
                                             + std::to_string(kHeaderSeconds) + " s"));
            else
                closeConnection(connection); // idle: as a kept-alive connection ends
            return false;
        }
        return true;
    }

    // Reads what the socket has, up to the end of the request headers (the
    // body is the worker's to read); false when the client has closed or failed.
    static bool receive(Connection& connection)
    {
        // Bounded, so that a client sending without end cannot keep this thread.
        constexpr int kMostChunks = 16;
        char chunk[4096];
        for (int chunks = 0; chunks < kMostChunks && !headersComplete(connection); ++chunks) {
            ssize_t n = recv(connection.socket, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n == 0)
                return false;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            if (!connection.requestStarted) {
                connection.requestStarted = true;
                connection.deadline = Clock::now() + std::chrono::seconds(kHeaderSeconds);
            }
            // Past the limit the bytes are read only to be dropped: the answer is
            // 431, and a socket closed with bytes unread would reset the connection
            // before the client reads it.
            if (unread(connection) <= kLargestHeaders)
                connection.buffer.append(chunk, std::size_t(n));
        }
        return true;
    }

    void watch()
    {
        std::vector<Connection> waiting;
        std::vector<pollfd> watched;
        while (collect(waiting)) {
            Clock::time_point now = Clock::now();
            std::erase_if(waiting, [&](Connection& c) { return !stillWaiting(c, now); });
            while (waiting.size() > kMostWaiting) {
                auto nearest = std::min_element(waiting.begin(), waiting.end(),
                                                [](const Connection& a, const Connection& b) {
                                                    return a.deadline < b.deadline;
                                                });
                closeConnection(*nearest);
                waiting.erase(nearest);
            }
            Clock::time_point next = now + std::chrono::seconds(60);
            watched.assign(1, pollfd{wake_, POLLIN, 0});
            for (const Connection& connection : waiting) {
                watched.push_back(pollfd{connection.socket, POLLIN, 0});
                next = std::min(next, connection.deadline);
            }
            if (poll(watched.data(), watched.size(), millisecondsUntil(next)) < 0 && errno != EINTR)
                break;
            uint64_t wakes = 0;
            [[maybe_unused]] ssize_t drained = ::read(wake_, &wakes, sizeof wakes);
            for (std::size_t i = 0; i < waiting.size(); ++i)
                if (watched[i + 1].revents != 0 && !receive(waiting[i]))
                    closeConnection(waiting[i]);
            std::erase_if(waiting, [](const Connection& c) { return c.socket == INVALID_SOCKET; });
        }
        for (Connection& connection : waiting)
            closeConnection(connection);
    }

    void work()
    {
        int writeMilliseconds = static_cast<int>(server_.write_timeout_sec_ * 1000
                                                 + server_.write_timeout_usec_ / 1000);
        for (;;) {
            Connection connection;
            {
                std::unique_lock lock(mutex_);
                readyChanged_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
                if (stopping_)
                    return;
                connection = std::move(ready_.front());
                ready_.pop_front();
            }
            ConnectionStream stream(connection, writeMilliseconds);
            bool last = connection.answered + 1 >= server_.keep_alive_max_count_;
            if (!server_.answerOne(stream, last)) {
                closeConnection(connection);
                continue;
            }
            ++connection.answered;
            connection.buffer.erase(0, connection.consumed);
            connection.consumed = 0;
            connection.requestStarted = !connection.buffer.empty();
            connection.deadline = Clock::now()
                + (connection.requestStarted
                       ? std::chrono::seconds(kHeaderSeconds)
                       : std::chrono::seconds(server_.keep_alive_timeout_sec_));
            toWatcher(std::move(connection));
        }
    }

    GuardedServer& server_;
    int wake_;
    std::mutex mutex_;
    std::condition_variable readyChanged_;
    std::vector<Connection> arriving_; // new or answered, for the watcher
    std::deque<Connection> ready_;     // headers complete, for the workers
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

namespace {

// The library's accepting loop hands each connection to a task queue; this one
// passes it straight to the front, which exists as long as the loop runs.
class FrontQueue final : public httplib::TaskQueue {
public:
    explicit FrontQueue(std::unique_ptr<GuardedServer::Front>& front)
        : front_(front)
    {
    }
    void enqueue(std::function<void()> task) override { task(); }
    void shutdown() override { front_.reset(); }

private:
    std::unique_ptr<GuardedServer::Front>& front_;
};

} // namespace

GuardedServer::GuardedServer()
{
    new_task_queue = [this] {
        // The library listens with a backlog of 5, compiled in: a burst of
        // connections while the accepting thread waits for a core overflows it,
        // and each client beyond waits a second to try again. Listening again
        // widens it; this runs on the accepting thread before its first accept.
        ::listen(svr_sock_, kBacklog);
        front_ = std::make_unique<Front>(*this);
        return new FrontQueue(front_);
    };
}

GuardedServer::~GuardedServer() = default;

bool GuardedServer::process_and_close_socket(socket_t sock)
{
    front_->admit(sock);
    return true;
}

bool GuardedServer::answerOne(httplib::Stream& stream, bool lastOnConnection)
{
    bool clientClosing = false;
    bool answered = process_request(stream, lastOnConnection, clientClosing, nullptr);
    return answered && !clientClosing && !lastOnConnection;
}

std::string GuardedServer::answerBytes(std::string_view requests, int localPort)
{
    MemoryStream stream(requests, localPort);
    for (std::size_t answered = 0; !stream.exhausted(); ++answered)
        if (!answerOne(stream, answered + 1 >= keep_alive_max_count_))
            break;
    return stream.written();
}

} // namespace vivanto
