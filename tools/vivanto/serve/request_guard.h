// Which requests vivanto serve answers, and the headers every answer carries.
//
// The server listens on 127.0.0.1 only, but a browser reaches it from any page
// the user has open: another site may point its own name at 127.0.0.1 (DNS
// rebinding) and then read the page's answers as its own, or post an edit from
// its page. So every request must name this server in its Host header, and a
// request that changes state must come from no other origin and carry JSON,
// which a foreign page cannot send without the browser asking first.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>

namespace vivanto {

struct Refusal {
    int status;
    std::string message;
};

// Everything but GET, HEAD and OPTIONS.
bool changesState(const std::string& method);

// Why `request` must not be answered, or nothing when it may be. The port it
// names must be the one it arrived on (`request.local_port`); the names are
// 127.0.0.1, localhost and [::1], written with the port (or without it on
// port 80).
std::optional<Refusal> refusalOf(const httplib::Request& request);

// X-Content-Type-Options, Referrer-Policy and Cache-Control for every answer.
httplib::Headers everyAnswersHeaders();

// The page's Content-Security-Policy: its own inline scripts and styles by
// their hashes, images and requests from its own origin (images also from the
// blob: URLs it makes of previews), nothing else, and no other site may frame it.
std::string pagePolicy(std::string_view page);

// For every answer but the page: nothing may load from or frame it.
constexpr const char* kApiPolicy = "default-src 'none'; frame-ancestors 'none'";

} // namespace vivanto
