#include "request_guard.h"

#include <algorithm>
#include <array>
#include <glib.h>
#include <memory>
#include <vector>

namespace vivanto {

namespace {

// Echoed values are cut short: a header may be kilobytes long.
constexpr std::size_t kLongestEcho = 200;

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}

std::string echoed(const std::string& text)
{
    return "\"" + (text.size() > kLongestEcho ? text.substr(0, kLongestEcho) + "..." : text) + "\"";
}

std::vector<std::string> ownHosts(int port)
{
    const std::array<std::string, 3> names{"127.0.0.1", "localhost", "[::1]"};
    std::vector<std::string> hosts;
    for (const std::string& name : names) {
        hosts.push_back(name + ":" + std::to_string(port));
        if (port == 80) // a browser leaves out the default port
            hosts.push_back(name);
    }
    return hosts;
}

std::string ownHostsText(int port)
{
    std::string p = std::to_string(port);
    return "127.0.0.1:" + p + ", localhost:" + p + " or [::1]:" + p;
}

bool isOwnHost(const std::string& host, int port)
{
    std::vector<std::string> own = ownHosts(port);
    return std::find(own.begin(), own.end(), lowered(host)) != own.end();
}

std::optional<Refusal> hostRefusal(const httplib::Request& request)
{
    int port = request.local_port;
    std::string answers = "this server answers only to Host " + ownHostsText(port);
    std::size_t count = request.get_header_value_count("Host");
    if (count == 0)
        return Refusal{421, "a request without a Host header: " + answers};
    if (count > 1)
        return Refusal{421,
                       "a request with " + std::to_string(count) + " Host headers: " + answers};
    std::string host = request.get_header_value("Host");
    if (!isOwnHost(host, port))
        return Refusal{421, answers + ", not " + echoed(host)};
    return std::nullopt;
}

std::optional<Refusal> originRefusal(const httplib::Request& request)
{
    std::size_t count = request.get_header_value_count("Origin");
    if (count == 0) // not sent by a browser: a browser names the page that posts
        return std::nullopt;
    std::string origin = request.get_header_value("Origin");
    const std::string scheme = "http://";
    bool own = count == 1 && lowered(origin).starts_with(scheme)
        && isOwnHost(origin.substr(scheme.size()), request.local_port);
    if (!own)
        return Refusal{403,
                       "a change from another origin is refused: Origin " + echoed(origin)
                           + " is not this server's"};
    return std::nullopt;
}

std::optional<Refusal> contentTypeRefusal(const httplib::Request& request)
{
    std::string type = request.get_header_value("Content-Type");
    std::string mediaType = lowered(type.substr(0, type.find(';')));
    mediaType.erase(mediaType.find_last_not_of(" \t") + 1);
    if (request.get_header_value_count("Content-Type") == 1 && mediaType == "application/json")
        return std::nullopt;
    std::string given = request.has_header("Content-Type") ? "not as " + echoed(type)
                                                           : "and this one names no type";
    return Refusal{415, "the body must be sent as JSON (Content-Type: application/json), " + given};
}

// The text between each `open` and the `close` after it.
std::vector<std::string_view> blocks(std::string_view page, std::string_view open,
                                     std::string_view close)
{
    std::vector<std::string_view> found;
    for (std::size_t at = page.find(open); at != std::string_view::npos; at = page.find(open, at)) {
        std::size_t start = at + open.size();
        std::size_t end = page.find(close, start);
        if (end == std::string_view::npos)
            break;
        found.push_back(page.substr(start, end - start));
        at = end + close.size();
    }
    return found;
}

std::string sha256Source(std::string_view text)
{
    std::unique_ptr<GChecksum, decltype(&g_checksum_free)> checksum(
        g_checksum_new(G_CHECKSUM_SHA256), g_checksum_free);
    g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(text.data()),
                      static_cast<gssize>(text.size()));
    std::array<guint8, 32> digest{};
    gsize length = digest.size();
    g_checksum_get_digest(checksum.get(), digest.data(), &length);
    std::unique_ptr<gchar, decltype(&g_free)> encoded(g_base64_encode(digest.data(), length),
                                                      g_free);
    return "'sha256-" + std::string(encoded.get()) + "'";
}

std::string hashSources(std::string_view page, std::string_view open, std::string_view close)
{
    std::string sources;
    for (std::string_view block : blocks(page, open, close))
        sources += " " + sha256Source(block);
    return sources.empty() ? " 'none'" : sources;
}

} // namespace

bool changesState(const std::string& method)
{
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

std::optional<Refusal> refusalOf(const httplib::Request& request)
{
    if (auto refused = hostRefusal(request))
        return refused;
    if (!changesState(request.method))
        return std::nullopt;
    if (auto refused = originRefusal(request))
        return refused;
    return contentTypeRefusal(request);
}

httplib::Headers everyAnswersHeaders()
{
    return {{"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            // Previews and downloads change with every edit, and nothing here is
            // worth keeping on disk.
            {"Cache-Control", "no-store"}};
}

std::string pagePolicy(std::string_view page)
{
    // The page's inline blocks carry no attributes: `<script>` and `<style>` as written.
    return "default-src 'none'; script-src" + hashSources(page, "<script>", "</script>")
        + "; style-src" + hashSources(page, "<style>", "</style>")
        + "; img-src 'self' blob:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
          "frame-ancestors 'none'";
}

} // namespace vivanto
