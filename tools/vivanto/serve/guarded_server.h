// cpp-httplib's server with a front of our own that no slow client can hold up.
//
// The library as Debian builds it (0.11) gives each accepted connection a
// worker from a fixed pool (the size is compiled into its shared library)
// from accept to close, queues the rest in order, and times out each read,
// not the request: fifty connections that never finish their headers hold up
// every request behind them for minutes, and one byte a second keeps a worker
// for ever. So here the library only accepts and parses: one thread watches
// every connection that has no complete request yet, with a deadline, and
// hands it to a worker only once its request headers are all in; between
// requests a kept-alive connection goes back to that thread, not to a worker.
//
//   - request headers must be complete within kHeaderSeconds of their first
//     byte (408, then closed), and be at most kLargestHeaders bytes (431);
//   - a connection that sends nothing is closed after kHeaderSeconds when new,
//     after the keep-alive time between requests;
//   - a request's body must arrive within kHeaderSeconds of a worker taking it;
//   - at most kMostWaiting connections wait for their headers; beyond that the
//     one nearest its deadline is closed.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <string_view>

namespace vivanto {

constexpr int kHeaderSeconds = 2;
constexpr std::size_t kLargestHeaders = std::size_t{16} * 1024;
constexpr std::size_t kMostWaiting = 256;
constexpr int kWorkers = 8;
constexpr int kBacklog = 128;

class GuardedServer : public httplib::Server {
public:
    GuardedServer();
    ~GuardedServer() override;
    GuardedServer(const GuardedServer&) = delete;
    GuardedServer& operator=(const GuardedServer&) = delete;

    // Answers `requests`, as bytes a client sent on one connection to
    // `localPort` before closing its side, through the same parsing, routing
    // and handlers as a connection would; returns the bytes written back. In
    // the calling thread, with no socket: for the fuzz target and tests.
    std::string answerBytes(std::string_view requests, int localPort);

    class Front; // the connections' watcher and workers, while listening

private:
    friend class Front;
    bool process_and_close_socket(socket_t sock) override;
    // One request on `stream`; false when the connection must be closed.
    bool answerOne(httplib::Stream& stream, bool lastOnConnection);

    std::unique_ptr<Front> front_;
};

} // namespace vivanto
