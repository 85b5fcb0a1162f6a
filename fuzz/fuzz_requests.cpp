// Fuzzes vivanto serve's request handling, in process: method, path and
// query, Host, Origin and Content-Type, other headers and the body come from
// the fuzzer (or, in one case of eight, all the bytes of a connection as
// they are), and go through the same parsing, guard, routing and handlers as
// a request on the server's socket, against the plug-in and a small photo.
//
// Every answer must be well formed and carry the headers every answer
// carries; an error's body is {"error": text}. When the request was built from
// choices whose verdict is known, a model of the guard predicts it: a request
// naming another host gets 421, a change from another origin 403, one that is
// not JSON 415, each with the settings untouched, and no other request gets
// those statuses. Only a 200 from POST /api/edit may change the settings, to
// the value it asked for.
#include "fuzz_support.h"

#include "guarded_server.h"
#include "preview.h"
#include "reference_chart.h"
#include "request_guard.h"
#include "serve_api.h"
#include "stage_host.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using fuzz_support::check;
using nlohmann::json;

constexpr int kPort = 8080;

enum class Verdict { Own, Foreign, Unknown };

struct Choice {
    const char* value; // nullptr: the header is left out
    Verdict verdict;
};

const std::array<Choice, 9> kHosts{{{"127.0.0.1:8080", Verdict::Own},
                                    {"localhost:8080", Verdict::Own},
                                    {"[::1]:8080", Verdict::Own},
                                    {"LocalHost:8080", Verdict::Own},
                                    {"rebound.example:8080", Verdict::Foreign},
                                    {"127.0.0.1:8081", Verdict::Foreign},
                                    {"localhost", Verdict::Foreign},
                                    {"127.0.0.1:8080.rebound.example", Verdict::Foreign},
                                    {nullptr, Verdict::Foreign}}};
const std::array<Choice, 7> kOrigins{{{nullptr, Verdict::Own},
                                      {"http://127.0.0.1:8080", Verdict::Own},
                                      {"http://localhost:8080", Verdict::Own},
                                      {"http://rebound.example", Verdict::Foreign},
                                      {"null", Verdict::Foreign},
                                      {"https://127.0.0.1:8080", Verdict::Foreign},
                                      {"http://127.0.0.1:8081", Verdict::Foreign}}};
const std::array<Choice, 6> kTypes{{{"application/json", Verdict::Own},
                                    {"application/json; charset=utf-8", Verdict::Own},
                                    {nullptr, Verdict::Foreign},
                                    {"text/plain;charset=UTF-8", Verdict::Foreign},
                                    {"application/x-www-form-urlencoded", Verdict::Foreign},
                                    {"multipart/form-data; boundary=x", Verdict::Foreign}}};
const std::array<const char*, 7> kMethods{"GET",    "HEAD",    "POST", "PUT",
                                          "DELETE", "OPTIONS", "PATCH"};
const std::array<const char*, 9> kPaths{"/",
                                        "/api/options",
                                        "/api/edit",
                                        "/api/preview",
                                        "/api/preview?marks=1",
                                        "/api/preview/before",
                                        "/api/full",
                                        "/api/about",
                                        "/api/nothing"};
const std::array<const char*, 4> kKeys{"vivanto_enabled", "vivanto_rg", "vivanto_by",
                                       "vivanto_other"};
const std::array<const char*, 6> kOtherHeaders{"Connection",        "Range",  "Expect",
                                               "Transfer-Encoding", "Accept", "X-Anything"};

// A corner of the example chart, written once to a file, since a photo on
// the page is read from its file for every full-size render.
std::string smallPhotoFile()
{
    std::string path = std::filesystem::temp_directory_path() / "fuzz_requests_photo.png";
    vivanto::referenceChart().crop(0, 0, 48, 32).write_to_file(path.c_str());
    return path;
}

// The server, the plug-in and a photo small enough to render on every input.
struct Served {
    vivanto::StageHost stage{fuzz_support::pluginPath()};
    vivanto::LivePhoto photo = vivanto::LivePhoto::fromFile(smallPhotoFile(), 16, 1);
    vivanto::PreviewService service{stage, photo, 92};
    vivanto::GuardedServer server;
    std::map<std::string, int32_t> defaults;

    Served()
    {
        service.install(server);
        for (const standin::Option& option : stage.options())
            defaults[option.key] = option.value;
    }

    std::map<std::string, int32_t> settings()
    {
        std::map<std::string, int32_t> now;
        for (const standin::Option& option : stage.options())
            now[option.key] = option.value;
        return now;
    }

    void reset()
    {
        for (const auto& [key, value] : defaults)
            stage.storeQuietly(key, value);
    }
};

Served& served()
{
    static Served* once = [] {
        vivanto::startImageLibrary("fuzz_requests");
        vips_cache_set_max(0); // every input renders afresh, and nothing piles up
        return new Served;
    }();
    return *once;
}

std::string headerSafe(std::string text)
{
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    return text;
}

// Letters only, as a method or header name is: one that held a space would
// make the request line or the header another one than built.
std::string token(std::string text)
{
    std::erase_if(text, [](char c) { return std::isalpha(static_cast<unsigned char>(c)) == 0; });
    return text;
}

// No space or control byte: anything else may appear in a path.
std::string pathSafe(std::string text)
{
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    return text;
}

// A request built from choices, with what the guard should say of it.
struct Built {
    std::string bytes;
    std::string method;
    std::string path;
    Verdict host = Verdict::Own;
    Verdict origin = Verdict::Own;
    Verdict type = Verdict::Own;
    std::optional<std::pair<std::string, int64_t>> edit; // the body asks this edit
};

template <std::size_t N>
const Choice& pick(FuzzedDataProvider& data, const std::array<Choice, N>& choices,
                   std::string& header, const char* name, Verdict& verdict)
{
    // One more than the list: a value of the fuzzer's, whose verdict is not known.
    std::size_t at = data.ConsumeIntegralInRange<std::size_t>(0, N);
    if (at == N) {
        header +=
            std::string(name) + ": " + headerSafe(data.ConsumeRandomLengthString(64)) + "\r\n";
        verdict = Verdict::Unknown;
        static const Choice unknown{"", Verdict::Unknown};
        return unknown;
    }
    if (choices[at].value != nullptr)
        header += std::string(name) + ": " + choices[at].value + "\r\n";
    verdict = choices[at].verdict;
    return choices[at];
}

Built build(FuzzedDataProvider& data)
{
    Built built;
    built.method = data.ConsumeBool()
        ? kMethods[data.ConsumeIntegralInRange<std::size_t>(0, kMethods.size() - 1)]
        : token(data.ConsumeRandomLengthString(8));
    built.path = data.ConsumeBool()
        ? kPaths[data.ConsumeIntegralInRange<std::size_t>(0, kPaths.size() - 1)]
        : "/" + pathSafe(data.ConsumeRandomLengthString(48));
    std::string headers;
    pick(data, kHosts, headers, "Host", built.host);
    pick(data, kOrigins, headers, "Origin", built.origin);
    pick(data, kTypes, headers, "Content-Type", built.type);
    for (int extra = data.ConsumeIntegralInRange(0, 2); extra > 0; --extra) {
        std::string name = data.ConsumeBool()
            ? kOtherHeaders[data.ConsumeIntegralInRange<std::size_t>(0, kOtherHeaders.size() - 1)]
            : token(data.ConsumeRandomLengthString(16));
        headers += name + ": " + headerSafe(data.ConsumeRandomLengthString(32)) + "\r\n";
        // Framing headers may end the request early or make it wait for more.
        built.host = built.origin = built.type = Verdict::Unknown;
    }
    // Only these methods have a body read; any other's would be taken for a
    // second request on the connection.
    const std::array<std::string, 4> withBody{"POST", "PUT", "PATCH", "DELETE"};
    bool hasBody = std::find(withBody.begin(), withBody.end(), built.method) != withBody.end();
    std::string body;
    if (!hasBody) {
        // none
    } else if (data.ConsumeBool()) {
        std::string key = kKeys[data.ConsumeIntegralInRange<std::size_t>(0, kKeys.size() - 1)];
        auto value = data.ConsumeIntegralInRange<int64_t>(-200, 800);
        body = json{{"key", key}, {"value", value}}.dump();
        built.edit = {key, value};
    } else {
        body = data.ConsumeRandomLengthString(512);
    }
    built.bytes = built.method + " " + built.path + " HTTP/1.1\r\n" + headers;
    if (!body.empty())
        built.bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    built.bytes += "\r\n" + body;
    return built;
}

struct Answer {
    int status = 0;
    std::map<std::string, std::string> headers; // names lower-cased, the last of each
    std::string body;
};

std::string lowered(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Every answer in `bytes`, each checked for its form and headers; the first
// is an answer to HEAD, without a body, when `toHead`.
std::vector<Answer> answersIn(const std::string& bytes, bool toHead)
{
    std::vector<Answer> answers;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find("\r\n\r\n", at);
        check(end != std::string::npos, "an answer without the end of its headers");
        check(bytes.compare(at, 9, "HTTP/1.1 ") == 0, "an answer without a status line");
        Answer answer;
        answer.status = std::stoi(bytes.substr(at + 9, 3));
        std::size_t line = bytes.find("\r\n", at) + 2;
        while (line < end + 2) {
            std::size_t next = bytes.find("\r\n", line);
            std::string text = bytes.substr(line, next - line);
            std::size_t colon = text.find(": ");
            check(colon != std::string::npos, "a header line without a colon: " + text);
            answer.headers[lowered(text.substr(0, colon))] = text.substr(colon + 2);
            line = next + 2;
        }
        std::size_t length = 0;
        if (auto found = answer.headers.find("content-length"); found != answer.headers.end())
            length = std::stoul(found->second);
        std::size_t bodyStart = end + 4;
        bool head = toHead && answers.empty(); // only the first is the request's own
        if (!head) {
            check(bodyStart + length <= bytes.size(), "an answer shorter than its length");
            answer.body = bytes.substr(bodyStart, length);
        } else {
            length = 0;
        }
        if (answer.status < 200) { // 100 Continue, before the answer itself
            answers.push_back(std::move(answer));
            at = end + 4;
            continue;
        }
        for (const auto& [name, value] : vivanto::everyAnswersHeaders())
            check(answer.headers[lowered(name)] == value, "an answer without " + name);
        check(answer.headers.contains("content-security-policy"), "an answer without a policy");
        if (answer.status >= 400)
            check(answer.headers["content-type"] == "application/json",
                  "an error that is not JSON: " + std::to_string(answer.status));
        // The library compresses JSON for a client that accepts it.
        if (answer.status >= 400 && !head && !answer.headers.contains("content-encoding")) {
            json error = json::parse(answer.body, nullptr, false);
            check(error.is_object() && error.size() == 1 && error.contains("error")
                      && error["error"].is_string(),
                  "an error body that is not {\"error\": text}: " + answer.body);
        }
        answers.push_back(std::move(answer));
        at = bodyStart + length;
    }
    return answers;
}

std::optional<int> expectedRefusal(const Built& built)
{
    if (built.host == Verdict::Foreign)
        return 421;
    if (!vivanto::changesState(built.method))
        return std::nullopt;
    if (built.origin == Verdict::Foreign)
        return 403;
    if (built.type == Verdict::Foreign)
        return 415;
    return std::nullopt;
}

void checkBuilt(Served& s, const Built& built, const std::map<std::string, int32_t>& before)
{
    std::string out = s.server.answerBytes(built.bytes, kPort);
    std::vector<Answer> answers = answersIn(out, built.method == "HEAD");
    std::map<std::string, int32_t> after = s.settings();
    bool known = built.host != Verdict::Unknown && built.origin != Verdict::Unknown
        && built.type != Verdict::Unknown && !built.method.empty();
    if (!known) {
        check(after == before || out.find("HTTP/1.1 200") != std::string::npos,
              "the settings changed with no answer 200");
        return;
    }
    check(!answers.empty(), "no answer to " + built.bytes);
    const Answer& answer = answers.front();
    std::optional<int> refusal = expectedRefusal(built);
    // A request line the library cannot parse is answered 400 before any guard,
    // with the library's status, not a handler's message.
    // (An answer to HEAD has no body to tell.)
    json error = json::parse(answer.body, nullptr, false);
    bool unparsed = answer.status == 400
        && (built.method == "HEAD"
            || (error.is_object() && error["error"] == "request refused (HTTP status 400)"));
    // The library reads no further than a request line it cannot parse, and
    // takes each line after it for another request.
    check(answers.size() == 1 || unparsed,
          "not one answer to one request: " + std::to_string(answers.size()));
    if (refusal && !unparsed) {
        check(answer.status == *refusal,
              "expected " + std::to_string(*refusal) + ", answered " + std::to_string(answer.status)
                  + " to " + built.bytes);
    } else if (!refusal) {
        for (int refused : {421, 403, 415})
            check(answer.status != refused,
                  "refused " + std::to_string(refused) + " though allowed: " + built.bytes);
    }
    // POST /api/edit is the only route that changes anything, with or without a query.
    bool edited = answer.status == 200 && built.method == "POST";
    if (!edited) {
        check(after == before, "the settings changed by " + built.bytes);
        return;
    }
    check(!refusal, "an edit answered 200 that should have been refused");
    if (built.edit)
        check(after.at(built.edit->first) == built.edit->second,
              "the edit did not store the value asked");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    Served& s = served();
    s.reset();
    std::map<std::string, int32_t> before = s.settings();
    FuzzedDataProvider data(bytes, size);
    if (data.ConsumeIntegralInRange(0, 7) == 0) {
        // Bytes of a connection as they are: perhaps several requests, perhaps none.
        std::string raw = data.ConsumeRemainingBytesAsString();
        std::string out = s.server.answerBytes(raw, kPort);
        // An answer to HEAD has no body, so the answers after one cannot be
        // told apart without the requests.
        if (raw.find("HEAD") == std::string::npos)
            answersIn(out, false);
        check(s.settings() == before || out.find("HTTP/1.1 200") != std::string::npos,
              "the settings changed with no answer 200");
        return 0;
    }
    checkBuilt(s, build(data), before);
    return 0;
}
