#include "serve_api.h"

#include "page.h"
#include "request_guard.h"
#include "stats.h"
#include "vectorscope.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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

json optionsJson(const std::vector<standin::Option>& options, const LivePhoto& photo,
                 GamutMode gamut)
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
              {"previewHeight", photo.previewHeight()},
              {"smallestPreviewSide", kSmallestAskedSide},
              {"largestPreviewSide", photo.largestPreviewSide()},
              {"largestLoupe", kLargestLoupe},
              {"gamut", nameOf(gamut)}}}};
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

// A whole number from `low` to `high` (`why` says what bounds it) in the
// query, or `absent` when it is not there. Digits only, with a minus sign at
// most: "1e3", "+5", " 5" and "0x10" are refused rather than guessed at.
int32_t numberParameter(const httplib::Request& request, const std::string& name, int32_t low,
                        int32_t high, const std::string& why, int32_t absent)
{
    std::size_t given = request.get_param_value_count(name);
    if (given == 0)
        return absent;
    std::string range = "\"" + name + "\" must be a whole number from " + std::to_string(low)
        + " to " + std::to_string(high) + why;
    if (given > 1)
        throw ApiError(400, range + ", given once");
    std::string text = request.get_param_value(name);
    std::string_view digits = text;
    if (digits.starts_with('-'))
        digits.remove_prefix(1);
    bool wellFormed = !digits.empty() && digits.size() <= 10
        && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    int64_t number = wellFormed ? std::stoll(text) : 0;
    if (!wellFormed || number < low || number > high) {
        std::string shown = text.size() > 40 ? text.substr(0, 40) + "..." : text;
        throw ApiError(400, range + ", not \"" + shown + "\"");
    }
    return static_cast<int32_t>(number);
}

FrameFormat formatParameter(const httplib::Request& request)
{
    if (!request.has_param("format"))
        return FrameFormat::Png;
    std::string format = request.get_param_value("format");
    if (request.get_param_value_count("format") == 1) {
        if (format == "png")
            return FrameFormat::Png;
        if (format == "rgba")
            return FrameFormat::Rgba;
    }
    std::string shown = format.size() > 40 ? format.substr(0, 40) + "..." : format;
    throw ApiError(400, "\"format\" must be png or rgba, given once, not \"" + shown + "\"");
}

// The vectorscope's panels: large enough for its labels, small enough to sit
// beside the photo.
constexpr int kScopePanel = 320;

std::string sideLimit(const LivePhoto& photo)
{
    return photo.largestPreviewSide() < kLargestAskedSide ? " (the photo's longest side)"
                                                          : " (the largest preview offered)";
}

int32_t sideParameter(const httplib::Request& request, const LivePhoto& photo)
{
    return numberParameter(request, "size", kSmallestAskedSide, photo.largestPreviewSide(),
                           sideLimit(photo), 0);
}

// A frame as the page asked for it: PNG, or its RGBA bytes for a canvas,
// with its size in the headers either way.
void sendFrame(httplib::Response& response, const Frame& frame, FrameFormat format,
               const std::string& timing)
{
    response.set_header("X-Frame-Width", std::to_string(frame.width));
    response.set_header("X-Frame-Height", std::to_string(frame.height));
    if (format == FrameFormat::Rgba) {
        response.set_header("Server-Timing", timing);
        response.set_content(reinterpret_cast<const char*>(frame.rgba.data()), frame.rgba.size(),
                             "application/octet-stream");
        return;
    }
    auto started = std::chrono::steady_clock::now();
    std::vector<unsigned char> png = pngOf(frame);
    double encoding =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    response.set_header("Server-Timing", timing + ", encode;dur=" + std::to_string(encoding));
    response.set_content(reinterpret_cast<const char*>(png.data()), png.size(), "image/png");
}

std::string timingOf(const std::string& step, double milliseconds)
{
    return step + ";dur=" + std::to_string(milliseconds);
}

} // namespace

PreviewService::PreviewService(StageHost& stage, const LivePhoto& photo, int quality,
                               GamutMode gamut)
    : stage_(stage)
    , photo_(photo)
    , quality_(quality)
    , startingGamut_(gamut)
{
}

GamutMode PreviewService::gamutParameter(const httplib::Request& request) const
{
    if (!request.has_param("gamut"))
        return startingGamut_;
    std::string name = request.get_param_value("gamut");
    std::optional<GamutMode> mode = gamutModeNamed(name);
    if (request.get_param_value_count("gamut") == 1 && mode)
        return *mode;
    std::string shown = name.size() > 40 ? name.substr(0, 40) + "..." : name;
    throw ApiError(400, "\"gamut\" must be clip or compress, given once, not \"" + shown + "\"");
}

const GamutBoundary& PreviewService::srgbBoundary()
{
    std::call_once(boundaryMade_, [this] {
        boundary_ = std::make_unique<GamutBoundary>(ColourSpace({}, false, 8));
    });
    return *boundary_;
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
          [this](const httplib::Request& request, httplib::Response& response) {
              before(request, response);
          });
    route("GET", "/api/loupe",
          [this](const httplib::Request& request, httplib::Response& response) {
              loupe(request, response);
          });
    route("GET", "/api/full", [this](const httplib::Request& request, httplib::Response& response) {
        full(request, response);
    });
    route("GET", "/api/scope",
          [this](const httplib::Request& request, httplib::Response& response) {
              scope(request, response);
          });
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
    response.set_content(jsonText(optionsJson(stage_.options(), photo_, startingGamut_)), kJson);
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
    response.set_content(jsonText(optionsJson(stage_.options(), photo_, startingGamut_)), kJson);
}

void PreviewService::preview(const httplib::Request& request, httplib::Response& response)
{
    int32_t side = sideParameter(request, photo_);
    FrameFormat format = formatParameter(request);
    RenderChoices choices{.marks = request.get_param_value("marks") == "1",
                          .gamut = gamutParameter(request)};
    FrameRender render = photo_.preview(stage_, pluginMutex_, side, choices, &cancel_);
    response.set_header("X-Stage-Milliseconds", std::to_string(render.stageMilliseconds));
    // The old name is kept for callers that read it: the way back clips (or
    // compresses) exactly these pixels.
    response.set_header("X-Clipped-Pixels", std::to_string(render.outOfGamutPixels));
    response.set_header("X-Out-Of-Gamut-Pixels", std::to_string(render.outOfGamutPixels));
    sendFrame(response, render.frame, format,
              timingOf("stage", render.stageMilliseconds) + ", "
                  + timingOf("back", render.backMilliseconds));
}

void PreviewService::before(const httplib::Request& request, httplib::Response& response)
{
    int32_t side = sideParameter(request, photo_);
    FrameFormat format = formatParameter(request);
    if (side == 0 && format == FrameFormat::Png) { // made once, as the page first asks for it
        const std::vector<unsigned char>& png = photo_.beforePng();
        response.set_header("X-Frame-Width", std::to_string(photo_.previewWidth()));
        response.set_header("X-Frame-Height", std::to_string(photo_.previewHeight()));
        response.set_content(reinterpret_cast<const char*>(png.data()), png.size(), "image/png");
        return;
    }
    sendFrame(response, photo_.held(side)->before(), format, timingOf("stage", 0));
}

void PreviewService::loupe(const httplib::Request& request, httplib::Response& response)
{
    LoupeSpot spot{.x = numberParameter(request, "x", 0, photo_.width() - 1,
                                        " (a column of the photo)", photo_.width() / 2),
                   .y = numberParameter(request, "y", 0, photo_.height() - 1,
                                        " (a row of the photo)", photo_.height() / 2),
                   .side =
                       numberParameter(request, "size", kSmallestLoupe, kLargestLoupe, "", 256)};
    bool withStage = numberParameter(request, "before", 0, 1, "", 0) == 0;
    FrameFormat format = formatParameter(request);
    GamutMode gamut = gamutParameter(request);
    LoupeRender render =
        photo_.loupe(withStage ? &stage_ : nullptr, pluginMutex_, spot, &cancel_, gamut);
    response.set_header("X-Loupe-Left", std::to_string(render.left));
    response.set_header("X-Loupe-Top", std::to_string(render.top));
    sendFrame(response, render.frame, format, timingOf("render", render.renderMilliseconds));
}

void PreviewService::full(const httplib::Request& request, httplib::Response& response)
{
    FullRender render =
        photo_.full(stage_, pluginMutex_, quality_, &cancel_, gamutParameter(request));
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

void PreviewService::scope(const httplib::Request& request, httplib::Response& response)
{
    int32_t side = sideParameter(request, photo_);
    GamutMode gamut = gamutParameter(request);
    auto started = std::chrono::steady_clock::now();
    std::shared_ptr<const HeldPreview> held = photo_.held(side);
    AbDensity after;
    if (!held->addLatestTo(after, gamut)) {
        // None yet (or another gamut's): one for the page's settings now. Another
        // request may replace it meanwhile, and then the after panel is empty.
        photo_.preview(stage_, pluginMutex_, side, {.gamut = gamut}, &cancel_);
        held->addLatestTo(after, gamut);
    }
    ScopeImage image =
        renderScope(held->beforeDensity(), after, &srgbBoundary(), {.panelSize = kScopePanel});
    std::vector<unsigned char> png = scopePng(image, 1);
    double made =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    response.set_header("X-Frame-Width", std::to_string(image.width));
    response.set_header("X-Frame-Height", std::to_string(image.height));
    response.set_header("Server-Timing", timingOf("scope", made));
    response.set_content(reinterpret_cast<const char*>(png.data()), png.size(), "image/png");
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
