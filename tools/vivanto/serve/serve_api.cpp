#include "serve_api.h"

#include "page.h"
#include "request_guard.h"
#include "stats.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <sys/socket.h>

namespace vivanto {

namespace {

using nlohmann::json;

constexpr std::size_t kLargestRequestBody = std::size_t{64} * 1024;
constexpr const char* kJson = "application/json";

// Thrown by a handler to answer with `status` and {"error": message}.
struct ApiError : std::runtime_error {
    ApiError(int httpStatus, const std::string& message)
        : std::runtime_error(message)
        , status(httpStatus)
    {
    }
    int status;
};

// Paths, file names and the plug-in's texts need not be UTF-8, and the JSON
// library throws on bytes that are not; they are sent as U+FFFD instead, since
// a throw in the error page would end the server.
std::string jsonText(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendError(httplib::Response& response, int status, const std::string& message)
{
    response.status = status;
    response.set_content(jsonText(json{{"error", message}}), kJson);
}

// Only SO_REUSEADDR, so that a restart finds its port free again at once; the
// library's default adds SO_REUSEPORT on Linux, which would let a second
// server bind a port that is in use and quietly share its connections.
void exclusivePort(socket_t socket)
{
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

json optionsJson(const std::vector<standin::Option>& options, const LivePhoto& photo)
{
    json list = json::array();
    for (const standin::Option& option : options) {
        bool isSwitch = option.kind == standin::OptionKind::Bool;
        json entry{{"key", option.key},
                   {"kind", isSwitch ? "switch" : "integer"},
                   {"group", option.group},
                   {"label", option.label},
                   {"default", option.defaultValue},
                   {"value", option.value}};
        if (!isSwitch) { // the range the stage acts on; it clamps beyond it
            entry["min"] = kLowestSlider;
            entry["max"] = kHighestSlider;
        }
        list.push_back(entry);
    }
    return {{"options", list},
            {"photo",
             {{"name", photo.name()},
              {"width", photo.width()},
              {"height", photo.height()},
              {"previewWidth", photo.previewWidth()},
              {"previewHeight", photo.previewHeight()}}}};
}

struct EditRequest {
    std::string key;
    int32_t value = 0;
};

int32_t integerValue(const json& value)
{
    constexpr int64_t low = std::numeric_limits<int32_t>::min();
    constexpr int64_t high = std::numeric_limits<int32_t>::max();
    std::string range = " is out of range " + std::to_string(low) + ".." + std::to_string(high);
    if (value.is_number_unsigned()) {
        auto number = value.get<uint64_t>();
        if (number > uint64_t(high))
            throw ApiError(400, "\"value\": " + jsonText(value) + range);
        return static_cast<int32_t>(number);
    }
    if (value.is_number_integer()) {
        auto number = value.get<int64_t>();
        if (number < low || number > high)
            throw ApiError(400, "\"value\": " + jsonText(value) + range);
        return static_cast<int32_t>(number);
    }
    if (value.is_number_float()) { // 1e10, or a whole number too long for 64 bits
        double number = value.get<double>();
        if (std::isfinite(number) && number == std::trunc(number))
            throw ApiError(400, "\"value\": " + jsonText(value) + range);
    }
    throw ApiError(400, "\"value\" must be an integer, not " + jsonText(value));
}

EditRequest parseEdit(const std::string& body)
{
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded())
        throw ApiError(400, "malformed JSON: expected {\"key\": \"...\", \"value\": integer}");
    if (!parsed.is_object() || !parsed.contains("key") || !parsed.contains("value"))
        throw ApiError(400, "expected {\"key\": \"...\", \"value\": integer}");
    if (!parsed["key"].is_string())
        throw ApiError(400, "\"key\" must be a string");
    return {parsed["key"].get<std::string>(), integerValue(parsed["value"])};
}

} // namespace

PreviewService::PreviewService(StageHost& stage, const LivePhoto& photo, int quality)
    : stage_(stage)
    , photo_(photo)
    , quality_(quality)
{
}

void PreviewService::cancelRenders()
{
    std::atomic_ref<HostBool>(cancel_).store(1);
}

void PreviewService::install(httplib::Server& server)
{
    server.set_socket_options(exclusivePort);
    server.set_payload_max_length(kLargestRequestBody);
    server.set_default_headers(everyAnswersHeaders());

    // Every route refuses what refusalOf() refuses before its handler runs
    // (the body has been read by then, so the connection stays usable); the
    // error handler below does the same for what no route takes.
    auto route = [&server](const std::string& method, const std::string& path, auto handler,
                           const std::string& policy = kApiPolicy) {
        httplib::Server::Handler guarded = [handler, policy](const httplib::Request& request,
                                                             httplib::Response& response) {
            if (std::optional<Refusal> refused = refusalOf(request))
                throw ApiError(refused->status, refused->message);
            response.set_header("Content-Security-Policy", policy);
            handler(request, response);
        };
        if (method == "GET")
            server.Get(path, guarded);
        else
            server.Post(path, guarded);
    };

    route(
        "GET", "/",
        [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(pageHtml()), "text/html; charset=utf-8");
        },
        pagePolicy(pageHtml()));
    route("GET", "/api/options",
          [this](const httplib::Request&, httplib::Response& response) { options(response); });
    route("POST", "/api/edit",
          [this](const httplib::Request& request, httplib::Response& response) {
              edit(request, response);
          });
    route("GET", "/api/preview",
          [this](const httplib::Request& request, httplib::Response& response) {
              preview(request, response);
          });
    route("GET", "/api/preview/before",
          [this](const httplib::Request&, httplib::Response& response) {
              const std::vector<unsigned char>& png = photo_.beforePng();
              response.set_content(reinterpret_cast<const char*>(png.data()), png.size(),
                                   "image/png");
          });
    route("GET", "/api/full",
          [this](const httplib::Request&, httplib::Response& response) { full(response); });
    route("GET", "/api/about",
          [this](const httplib::Request&, httplib::Response& response) { about(response); });

    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, const std::exception_ptr& thrown) {
            try {
                std::rethrow_exception(thrown);
            } catch (const ApiError& error) {
                sendError(response, error.status, error.what());
            } catch (const RenderFailed& error) {
                sendError(response, 503, error.what());
            } catch (const std::exception& error) {
                sendError(response, 500, error.what());
            } catch (...) {
                sendError(response, 500, "unknown error");
            }
        });
    // Statuses the library sets itself (no route, body too large, a request
    // it cannot parse) get the same kind of body as ours.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& request, httplib::Response& response) {
            if (!response.has_header("Content-Security-Policy"))
                response.set_header("Content-Security-Policy", kApiPolicy);
            // A request from a foreign name learns nothing, not even which paths
            // exist. One the library could not parse (a bad request line or
            // header) has no port yet, and keeps its 400: it learns nothing either.
            std::optional<Refusal> refused;
            if (request.local_port >= 0)
                refused = refusalOf(request);
            if (refused) {
                sendError(response, refused->status, refused->message);
                return httplib::Server::HandlerResponse::Handled;
            }
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            std::string what =
                "request refused (HTTP status " + std::to_string(response.status) + ")";
            if (response.status == 404)
                what = "no such page: " + request.method + " " + request.path;
            else if (response.status == 413)
                what = "request body too large (at most " + std::to_string(kLargestRequestBody)
                    + " bytes)";
            sendError(response, response.status, what);
            return httplib::Server::HandlerResponse::Handled;
        }));
}

void PreviewService::options(httplib::Response& response)
{
    std::scoped_lock lock(pluginMutex_);
    response.set_content(jsonText(optionsJson(stage_.options(), photo_)), kJson);
}

void PreviewService::edit(const httplib::Request& request, httplib::Response& response)
{
    EditRequest edit = parseEdit(request.body);
    std::scoped_lock lock(pluginMutex_);
    std::vector<standin::Option> before = stage_.options();
    bool known = std::any_of(before.begin(), before.end(),
                             [&](const standin::Option& option) { return option.key == edit.key; });
    if (!known)
        throw ApiError(400, "unknown option key \"" + edit.key + "\"");
    try {
        stage_.edit(edit.key, edit.value);
    } catch (const std::runtime_error& refused) { // a switch given 2, or a hook said no
        throw ApiError(400, refused.what());
    }
    // The values as stored after the hooks ran, so the page shows what they changed.
    response.set_content(jsonText(optionsJson(stage_.options(), photo_)), kJson);
}

void PreviewService::preview(const httplib::Request& request, httplib::Response& response)
{
    bool marks = request.get_param_value("marks") == "1";
    PreviewRender render = photo_.preview(stage_, pluginMutex_, marks, &cancel_);
    response.set_header("X-Stage-Milliseconds", std::to_string(render.stageMilliseconds));
    response.set_header("X-Clipped-Pixels", std::to_string(render.clippedPixels));
    response.set_content(reinterpret_cast<const char*>(render.png.data()), render.png.size(),
                         "image/png");
}

void PreviewService::full(httplib::Response& response)
{
    FullRender render = photo_.full(stage_, pluginMutex_, quality_, &cancel_);
    response.set_header("X-Stage-Milliseconds", std::to_string(render.stageMilliseconds));
    // The name comes from the user's own file; keep the header plain ASCII and unquoted.
    std::string safeName = render.fileName;
    for (char& c : safeName)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            c = '_';
    response.set_header("Content-Disposition", "attachment; filename=\"" + safeName + "\"");
    response.set_content(reinterpret_cast<const char*>(render.bytes.data()), render.bytes.size(),
                         render.mimeType);
}

void PreviewService::about(httplib::Response& response)
{
    std::scoped_lock lock(pluginMutex_);
    AboutText about = stage_.about();
    response.set_content(jsonText(json{{"title", about.title}, {"html", about.htmlBody}}), kJson);
}

int bindLoopback(httplib::Server& server, int port)
{
    const std::string host = "127.0.0.1";
    errno = 0;
    int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::string reason = errno != 0 ? std::strerror(errno) : "refused";
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": "
                                 + reason
                                 + " (is another server using it? choose another --port, or "
                                   "leave it out for a free one)");
    }
    return bound;
}

} // namespace vivanto
