// vivanto serve's JSON API and its failures, against a server running in this
// process on a free port of 127.0.0.1 and reached with an HTTP client; and
// the real binary for what only a process shows: the taken port and Ctrl-C.
#include "case_name.h"
#include "command_line.h"
#include "guarded_server.h"
#include "preview.h"
#include "raw_http.h"
#include "request_guard.h"
#include "serve_api.h"
#include "tool_support.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <fstream>
#include <latch>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;
using namespace vivanto;

constexpr int kPreviewSide = 200; // the example chart is 684 x 460

// The plug-in loaded, the example chart and a server for them, fresh per test.
class Serve : public testing::Test {
protected:
    static void SetUpTestSuite() { startImageLibrary("serve_test"); }

    void SetUp() override { start(LivePhoto::example(kPreviewSide, 2)); }

    void start(LivePhoto photo)
    {
        photo_ = std::make_unique<LivePhoto>(std::move(photo));
        service_ = std::make_unique<PreviewService>(stage_, *photo_, 92);
        service_->install(server_);
        port_ = bindLoopback(server_, 0);
        listener_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() does nothing to a server that is not running yet.
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void TearDown() override
    {
        server_.stop();
        if (listener_.joinable())
            listener_.join();
    }

    httplib::Client client() const { return httplib::Client("127.0.0.1", port_); }

    json optionsAfterEdit(const std::string& key, int value) const
    {
        auto answer = client().Post("/api/edit", json{{"key", key}, {"value", value}}.dump(),
                                    "application/json");
        EXPECT_TRUE(answer) << "no answer";
        EXPECT_EQ(answer->status, 200) << answer->body;
        return json::parse(answer->body);
    }

    static int valueOf(const json& answer, const std::string& key)
    {
        for (const json& option : answer["options"])
            if (option["key"] == key)
                return option["value"].get<int>();
        ADD_FAILURE() << "no option " << key;
        return -1;
    }

    httplib::Result preview(bool marks = false) const
    {
        auto answer = client().Get(marks ? "/api/preview?marks=1" : "/api/preview");
        EXPECT_TRUE(answer) << "no answer";
        EXPECT_EQ(answer->status, 200) << answer->body;
        EXPECT_EQ(answer->get_header_value("Content-Type"), "image/png");
        return answer;
    }

    std::string beforePng() const
    {
        return {photo_->beforePng().begin(), photo_->beforePng().end()};
    }

    StageHost stage_{SERVE_TEST_PLUGIN};
    std::unique_ptr<LivePhoto> photo_;
    std::unique_ptr<PreviewService> service_;
    GuardedServer server_;
    int port_ = 0;
    std::thread listener_;
};

TEST_F(Serve, OptionsAreThePluginsInDefinitionOrderWithThePhotosSizes)
{
    auto answer = client().Get("/api/options");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);
    json options = json::parse(answer->body);
    std::vector<std::tuple<std::string, std::string, std::string, int>> seen;
    for (const json& o : options["options"]) {
        EXPECT_EQ(o["group"], "vivanto_plugin");
        seen.emplace_back(o["key"], o["kind"], o["label"], o["default"].get<int>());
        EXPECT_EQ(o["value"], o["default"]);
        EXPECT_EQ(o.contains("min"), o["kind"] == "integer");
    }
    using Row = std::tuple<std::string, std::string, std::string, int>;
    EXPECT_EQ(seen,
              (std::vector<Row>{{"vivanto_enabled", "switch", "Enable vivanto plugin", 0},
                                {"vivanto_rg", "integer", "Pop the reds and greens", 15},
                                {"vivanto_by", "integer", "Pop the blues and yellows.", 35}}));
    EXPECT_EQ(options["photo"],
              (json{{"name", "example_chart.png"},
                    {"width", 684},
                    {"height", 460},
                    {"previewWidth", kPreviewSide},
                    {"previewHeight", 135},
                    {"smallestPreviewSide", 16},
                    {"largestPreviewSide", 684},
                    {"largestLoupe", 512},
                    {"gamut", "clip"}}));
}

TEST_F(Serve, EditsGoThroughTheSettingsHooksAndAnswerTheStoredValues)
{
    json afterSlider = optionsAfterEdit("vivanto_rg", 40);
    EXPECT_EQ(valueOf(afterSlider, "vivanto_rg"), 40);
    EXPECT_EQ(valueOf(afterSlider, "vivanto_enabled"), 1) << "the slider turns the switch on";
    json afterSwitch = optionsAfterEdit("vivanto_enabled", 0);
    EXPECT_EQ(valueOf(afterSwitch, "vivanto_enabled"), 0);
    EXPECT_EQ(valueOf(afterSwitch, "vivanto_rg"), 40);
}

TEST_F(Serve, PreviewFollowsTheSettingsAndTheSwitchGivesTheOriginalBack)
{
    EXPECT_EQ(preview()->body, beforePng()) << "the switch is off by default";
    optionsAfterEdit("vivanto_rg", 40);
    auto boosted = preview();
    EXPECT_NE(boosted->body, beforePng());
    EXPECT_GT(std::stod(boosted->get_header_value("X-Stage-Milliseconds")), 0.0);
    // The chart's saturated patches lie near sRGB's edge: even a gentle push
    // takes some out (counted against LittleCMS in serve_gamut_test.cpp).
    EXPECT_GT(std::stoll(boosted->get_header_value("X-Clipped-Pixels")), 0);
    EXPECT_EQ(boosted->get_header_value("X-Out-Of-Gamut-Pixels"),
              boosted->get_header_value("X-Clipped-Pixels"));
    optionsAfterEdit("vivanto_enabled", 0);
    EXPECT_EQ(preview()->body, beforePng());
    EXPECT_EQ(client().Get("/api/preview/before")->body, beforePng());
}

TEST_F(Serve, OutOfGamutPixelsAreCountedAndMarkedOnlyWhenAsked)
{
    optionsAfterEdit("vivanto_by", 600);
    auto plain = preview(false);
    auto marked = preview(true);
    EXPECT_GT(std::stoll(plain->get_header_value("X-Clipped-Pixels")), 0);
    EXPECT_EQ(plain->get_header_value("X-Out-Of-Gamut-Pixels"),
              plain->get_header_value("X-Clipped-Pixels"));
    EXPECT_EQ(marked->get_header_value("X-Clipped-Pixels"),
              plain->get_header_value("X-Clipped-Pixels"));
    EXPECT_NE(marked->body, plain->body);
}

// The count is the held preview's own (checked against LittleCMS elsewhere);
// here, that each route takes the choice and that compress changes the picture.
TEST_F(Serve, GamutChoiceReachesThePreviewTheLoupeAndTheDownload)
{
    optionsAfterEdit("vivanto_rg", 400);
    optionsAfterEdit("vivanto_by", 400);
    for (const char* path :
         {"/api/preview?size=100", "/api/loupe?x=300&y=200&size=64", "/api/full"}) {
        std::string base = path;
        std::string joiner = base.find('?') == std::string::npos ? "?" : "&";
        auto absent = client().Get(base);
        auto clip = client().Get(base + joiner + "gamut=clip");
        auto compress = client().Get(base + joiner + "gamut=compress");
        ASSERT_TRUE(absent && clip && compress) << path;
        ASSERT_EQ(compress->status, 200) << path << ": " << compress->body;
        EXPECT_EQ(absent->body, clip->body) << path << ": clip is the starting choice";
        EXPECT_NE(compress->body, clip->body) << path;
    }
    auto clip = client().Get("/api/preview?size=100&gamut=clip");
    auto compress = client().Get("/api/preview?size=100&gamut=compress");
    EXPECT_EQ(compress->get_header_value("X-Out-Of-Gamut-Pixels"),
              clip->get_header_value("X-Out-Of-Gamut-Pixels"))
        << "counted before the way back, whichever way it goes";
}

TEST_F(Serve, StartingGamutChoiceIsOfferedAndUsedWhenNoneIsAsked)
{
    EXPECT_EQ(json::parse(client().Get("/api/options")->body)["photo"]["gamut"], "clip");
    GuardedServer server;
    PreviewService service(stage_, *photo_, 92, GamutMode::Compress);
    service.install(server);
    httplib::Client http("127.0.0.1", bindLoopback(server, 0));
    std::jthread listener([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(json::parse(http.Get("/api/options")->body)["photo"]["gamut"], "compress");
    optionsAfterEdit("vivanto_by", 600);
    EXPECT_EQ(http.Get("/api/preview")->body, http.Get("/api/preview?gamut=compress")->body);
    EXPECT_NE(http.Get("/api/preview")->body, http.Get("/api/preview?gamut=clip")->body);
    server.stop();
    EXPECT_EQ(parseCommandLine({"serve", "--gamut", "compress"}).gamut, GamutMode::Compress);
}

TEST_F(Serve, ScopeIsAPngOfBothPanelsThatFollowsTheLatestPreview)
{
    auto first = client().Get("/api/scope?size=100");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    EXPECT_EQ(first->get_header_value("Content-Type"), "image/png");
    vips::VImage image = vips::VImage::new_from_buffer(first->body.data(), first->body.size(), "");
    EXPECT_EQ(std::make_tuple(image.width(), image.height()), std::make_tuple(640, 320));
    EXPECT_EQ(first->get_header_value("X-Frame-Width"), "640");
    EXPECT_EQ(client().Get("/api/scope?size=100")->body, first->body) << "nothing changed";

    optionsAfterEdit("vivanto_rg", 300);
    // The scope shows the latest preview of its size, not the settings of now.
    EXPECT_EQ(client().Get("/api/scope?size=100")->body, first->body);
    ASSERT_EQ(client().Get("/api/preview?size=100&format=rgba")->status, 200);
    auto pushed = client().Get("/api/scope?size=100");
    EXPECT_NE(pushed->body, first->body);
    // A size or gamut with no preview yet is rendered for the scope.
    auto compressed = client().Get("/api/scope?size=100&gamut=compress");
    ASSERT_EQ(compressed->status, 200);
    EXPECT_NE(compressed->body, pushed->body);
    EXPECT_EQ(client().Get("/api/scope?size=50")->status, 200);
}

// 8-bit sRGB with alpha 255, as the rgba format sends it.
std::string rgbaOf(const vips::VImage& shown)
{
    vips::VImage rgba = shown.bandjoin_const({255.0}).cast(VIPS_FORMAT_UCHAR);
    size_t size = 0;
    auto* memory = static_cast<char*>(rgba.write_to_memory(&size));
    std::string bytes(memory, size);
    g_free(memory);
    return bytes;
}

// Sizes as the page asks for them, more than are held at once, and the
// first again after the others pushed it out.
TEST_F(Serve, PreviewsComeAtTheSizeAskedForAsPngOrRgbaOfTheSamePixels)
{
    optionsAfterEdit("vivanto_rg", 40);
    struct Size {
        int side, width, height;
    };
    const std::vector<Size> sizes{{16, 16, 11},    {100, 100, 67},  {333, 333, 224},
                                  {684, 684, 460}, {500, 500, 336}, {250, 250, 168},
                                  {101, 101, 68},  {16, 16, 11}};
    for (const Size& size : sizes) {
        std::string query = "?size=" + std::to_string(size.side);
        auto png = client().Get("/api/preview" + query);
        auto rgba = client().Get("/api/preview" + query + "&format=rgba");
        auto before = client().Get("/api/preview/before" + query + "&format=rgba");
        ASSERT_TRUE(png && rgba && before);
        ASSERT_EQ(png->status, 200) << png->body;
        ASSERT_EQ(rgba->status, 200) << rgba->body;
        EXPECT_EQ(rgba->get_header_value("Content-Type"), "application/octet-stream");
        for (const auto* answer : {&png, &rgba, &before})
            EXPECT_EQ(std::make_pair((*answer)->get_header_value("X-Frame-Width"),
                                     (*answer)->get_header_value("X-Frame-Height")),
                      std::make_pair(std::to_string(size.width), std::to_string(size.height)))
                << query;
        vips::VImage decoded = vips::VImage::new_from_buffer(png->body, "");
        EXPECT_EQ(decoded.width(), size.width);
        EXPECT_EQ(rgbaOf(decoded), rgba->body) << query;
        EXPECT_NE(rgba->body, before->body) << query;
        EXPECT_NE(rgba->get_header_value("Server-Timing").find("stage;dur="), std::string::npos);
    }
    optionsAfterEdit("vivanto_enabled", 0);
    for (int side : {100, 684}) {
        std::string query = "?format=rgba&size=" + std::to_string(side);
        EXPECT_EQ(client().Get("/api/preview" + query)->body,
                  client().Get("/api/preview/before" + query)->body);
    }
}

// The loupe against the download, which reads the whole photo through the chain.
TEST_F(Serve, LoupeIsThePartOfTheFullSizeDownloadThereAndFollowsTheSettings)
{
    optionsAfterEdit("vivanto_rg", 40);
    auto full = client().Get("/api/full");
    ASSERT_TRUE(full);
    vips::VImage whole = vips::VImage::new_from_buffer(full->body, "");
    struct Spot {
        std::string query;
        int left, top, side;
    };
    for (const Spot& spot :
         {Spot{"x=100&y=50&size=64", 68, 18, 64}, Spot{"x=683&y=459&size=100", 584, 360, 100},
          Spot{"x=3&y=400", 0, 204, 256}}) {
        auto png = client().Get("/api/loupe?" + spot.query);
        auto rgba = client().Get("/api/loupe?format=rgba&" + spot.query);
        ASSERT_TRUE(png && rgba);
        ASSERT_EQ(png->status, 200) << png->body;
        EXPECT_EQ(png->get_header_value("X-Loupe-Left"), std::to_string(spot.left));
        EXPECT_EQ(png->get_header_value("X-Loupe-Top"), std::to_string(spot.top));
        Photo chart{.format = FileFormat::Png, .bits = 16, .image = whole};
        std::string expected =
            rgbaOf(forDisplay(whole.crop(spot.left, spot.top, spot.side, spot.side), chart));
        EXPECT_EQ(rgbaOf(vips::VImage::new_from_buffer(png->body, "")), expected) << spot.query;
        EXPECT_EQ(rgba->body, expected) << spot.query;
    }
    std::string before = client().Get("/api/loupe?x=100&y=50&size=64&before=1")->body;
    std::string boosted = client().Get("/api/loupe?x=100&y=50&size=64")->body;
    EXPECT_NE(before, boosted);
    optionsAfterEdit("vivanto_enabled", 0);
    EXPECT_EQ(client().Get("/api/loupe?x=100&y=50&size=64")->body, before);
}

TEST_F(Serve, FullSizeRenderIsAPngDownloadOfTheWholePhoto)
{
    optionsAfterEdit("vivanto_rg", 40);
    auto answer = client().Get("/api/full");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(answer->get_header_value("Content-Disposition"),
              "attachment; filename=\"example_chart_vivanto.png\"");
    vips::VImage image = vips::VImage::new_from_buffer(answer->body, "");
    EXPECT_EQ(image.width(), 684);
    EXPECT_EQ(image.height(), 460);
    EXPECT_EQ(image.format(), VIPS_FORMAT_USHORT) << "the chart's 16 bits are kept";
}

TEST_F(Serve, AboutAnswersThePluginsTitleAndHtml)
{
    auto answer = client().Get("/api/about");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);
    json about = json::parse(answer->body);
    EXPECT_EQ(about["title"], "About Vivanto Plugin");
    EXPECT_NE(about["html"].get<std::string>().find("<h2>About Vivanto</h2>"), std::string::npos);
}

// The page sends edits and preview requests as they come, and a second tab
// may do the same: every request is answered, and the photo held for the
// previews comes out of it untouched.
TEST_F(Serve, ConcurrentEditsAndPreviewsAllSucceed)
{
    optionsAfterEdit("vivanto_rg", 40);
    optionsAfterEdit("vivanto_by", 40);
    std::string alone = preview()->body;

    constexpr int kClients = 4;
    std::vector<std::jthread> clients;
    clients.reserve(kClients + 1);
    std::atomic<int> failures{0};
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            httplib::Client http = client();
            for (int round = 0; round < 5; ++round) {
                json edit{{"key", c % 2 == 0 ? "vivanto_rg" : "vivanto_by"}, {"value", 10 * round}};
                auto edited = http.Post("/api/edit", edit.dump(), "application/json");
                auto rendered = http.Get("/api/preview");
                if (!edited || edited->status != 200 || !rendered || rendered->status != 200)
                    ++failures;
            }
        });
    // Renders hold the plug-in only while the stage runs: a full-size render
    // converts and encodes beside the previews.
    clients.emplace_back([&] {
        auto full = client().Get("/api/full");
        if (!full || full->status != 200)
            ++failures;
    });
    clients.clear();
    EXPECT_EQ(failures, 0);
    optionsAfterEdit("vivanto_rg", 40);
    optionsAfterEdit("vivanto_by", 40);
    EXPECT_EQ(preview()->body, alone);
    EXPECT_EQ(client().Get("/api/preview/before")->body, beforePng());
}

struct BadRequest {
    std::string name;
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string error;
    // When set, the request goes by hand with these header lines instead of
    // the client's ("{port}" is the server's port); a body gets its length.
    std::string headers = {};
    // When set, these bytes go as they are, and nothing else.
    std::string raw = {};
};

void PrintTo(const BadRequest& row, std::ostream* out)
{
    *out << row.name;
}

class ServeBadRequests : public Serve, public testing::WithParamInterface<BadRequest> {};

TEST_P(ServeBadRequests, GetTheirErrorAndChangeNothing)
{
    const BadRequest& c = GetParam();
    tool_test::RawAnswer answer;
    if (c.headers.empty() && c.raw.empty()) {
        httplib::Client http = client();
        auto result =
            c.method == "GET" ? http.Get(c.path) : http.Post(c.path, c.body, "application/json");
        ASSERT_TRUE(result) << "no answer";
        answer = {result->status, result->headers, result->body};
    } else {
        std::string request = c.raw;
        if (request.empty()) {
            request = c.method + " " + c.path + " HTTP/1.1\r\n" + c.headers;
            if (!c.body.empty())
                request += "Content-Length: " + std::to_string(c.body.size()) + "\r\n";
            request += "\r\n" + c.body;
        }
        tool_test::RawConnection connection(port_);
        ASSERT_TRUE(connection.send(tool_test::withPort(request, port_)));
        auto read = connection.answer(std::chrono::seconds(kHeaderSeconds + 10));
        ASSERT_TRUE(read) << "no answer";
        answer = *read;
    }
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(json::parse(answer.body, nullptr, false),
              (json{{"error", tool_test::withPort(c.error, port_)}}));
    std::map<std::string, std::string> headers;
    for (const char* name : {"Content-Type", "X-Content-Type-Options", "Referrer-Policy",
                             "Cache-Control", "Content-Security-Policy"})
        headers[name] = answer.headers.count(name) == 1 ? answer.headers.find(name)->second : "";
    EXPECT_EQ(headers,
              (std::map<std::string, std::string>{{"Content-Type", "application/json"},
                                                  {"X-Content-Type-Options", "nosniff"},
                                                  {"Referrer-Policy", "no-referrer"},
                                                  {"Cache-Control", "no-store"},
                                                  {"Content-Security-Policy", kApiPolicy}}));

    auto after = client().Get("/api/options");
    ASSERT_TRUE(after) << "the server is gone";
    json options = json::parse(after->body); // kept: a range over a temporary's member dangles
    for (const json& option : options["options"])
        EXPECT_EQ(option["value"], option["default"]) << option["key"];
}

const std::string kShape = "expected {\"key\": \"...\", \"value\": integer}";
const std::string kRange = " is out of range -2147483648..2147483647";
const std::string kOnlyOwnNames =
    "this server answers only to Host 127.0.0.1:{port}, localhost:{port} or [::1]:{port}";
const std::string kOwnHost = "Host: 127.0.0.1:{port}\r\n";
const std::string kForeignHost = "Host: rebound.example:{port}\r\n";
const std::string kJsonType = "Content-Type: application/json\r\n";
const std::string kGoodEdit = R"({"key": "vivanto_rg", "value": 40})";
const std::string kSize =
    "\"size\" must be a whole number from 16 to 684 (the photo's longest side), not ";
const std::string kGamut = "\"gamut\" must be clip or compress, given once, not ";
const std::string kNotJson = "the body must be sent as JSON (Content-Type: application/json), ";

std::string otherOrigin(const std::string& origin)
{
    return "a change from another origin is refused: Origin \"" + origin
        + "\" is not this server's";
}

INSTANTIATE_TEST_SUITE_P(
    Api, ServeBadRequests,
    testing::Values(
        BadRequest{"unknown_key", "POST", "/api/edit", R"({"key": "x", "value": 1})", 400,
                   "unknown option key \"x\""},
        BadRequest{"above_int", "POST", "/api/edit",
                   R"({"key": "vivanto_rg", "value": 2147483648})", 400,
                   "\"value\": 2147483648" + kRange},
        BadRequest{"below_int", "POST", "/api/edit",
                   R"({"key": "vivanto_rg", "value": -2147483649})", 400,
                   "\"value\": -2147483649" + kRange},
        BadRequest{"beyond_64_bits", "POST", "/api/edit", R"({"key": "vivanto_rg", "value": 1e30})",
                   400, "\"value\": 1e+30" + kRange},
        BadRequest{"fraction", "POST", "/api/edit", R"({"key": "vivanto_rg", "value": 1.5})", 400,
                   "\"value\" must be an integer, not 1.5"},
        BadRequest{"text_value", "POST", "/api/edit", R"({"key": "vivanto_rg", "value": "40"})",
                   400, "\"value\" must be an integer, not \"40\""},
        BadRequest{"switch_given_2", "POST", "/api/edit",
                   R"({"key": "vivanto_enabled", "value": 2})", 400,
                   "\"vivanto_enabled\" is a switch: give 0 (off) or 1 (on), not 2"},
        BadRequest{"key_not_text", "POST", "/api/edit", R"({"key": 7, "value": 1})", 400,
                   "\"key\" must be a string"},
        BadRequest{"value_missing", "POST", "/api/edit", R"({"key": "vivanto_rg"})", 400, kShape},
        BadRequest{"not_an_object", "POST", "/api/edit", "[1, 2]", 400, kShape},
        BadRequest{"malformed", "POST", "/api/edit", R"({"key": "vivanto_rg", )", 400,
                   "malformed JSON: " + kShape},
        BadRequest{"empty_body", "POST", "/api/edit", "", 400, "malformed JSON: " + kShape},
        BadRequest{"too_large", "POST", "/api/edit", std::string(100000, ' '), 413,
                   "request body too large (at most 65536 bytes)"},
        // Preview sizes: 16 up to the chart's longest side, whole numbers only.
        BadRequest{"size_zero", "GET", "/api/preview?size=0", "", 400, kSize + "\"0\""},
        BadRequest{"size_too_small", "GET", "/api/preview?size=15", "", 400, kSize + "\"15\""},
        BadRequest{"size_beyond_the_photo", "GET", "/api/preview?size=685", "", 400,
                   kSize + "\"685\""},
        BadRequest{"size_huge", "GET", "/api/preview?size=99999999999999999999", "", 400,
                   kSize + "\"99999999999999999999\""},
        BadRequest{"size_negative", "GET", "/api/preview?size=-200", "", 400, kSize + "\"-200\""},
        BadRequest{"size_not_a_number", "GET", "/api/preview?size=large", "", 400,
                   kSize + "\"large\""},
        BadRequest{"size_exponent", "GET", "/api/preview?size=1e2", "", 400, kSize + "\"1e2\""},
        BadRequest{"size_plus", "GET", "/api/preview?size=%2B200", "", 400, kSize + "\"+200\""},
        BadRequest{"size_space", "GET", "/api/preview?size=%20200", "", 400, kSize + "\" 200\""},
        BadRequest{"size_empty", "GET", "/api/preview?size=", "", 400, kSize + "\"\""},
        BadRequest{"size_twice", "GET", "/api/preview?size=100&size=200", "", 400,
                   "\"size\" must be a whole number from 16 to 684 (the photo's longest side), "
                   "given once"},
        BadRequest{"before_size_beyond", "GET", "/api/preview/before?size=2001", "", 400,
                   kSize + "\"2001\""},
        BadRequest{"format_unknown", "GET", "/api/preview?format=jpeg", "", 400,
                   "\"format\" must be png or rgba, given once, not \"jpeg\""},
        BadRequest{"before_format_unknown", "GET", "/api/preview/before?format=RGBA", "", 400,
                   "\"format\" must be png or rgba, given once, not \"RGBA\""},
        // The gamut choice: one of two names, once, on every route that renders.
        BadRequest{"gamut_unknown", "GET", "/api/preview?gamut=squeeze", "", 400,
                   kGamut + "\"squeeze\""},
        BadRequest{"gamut_capitals", "GET", "/api/preview?gamut=Clip", "", 400,
                   kGamut + "\"Clip\""},
        BadRequest{"gamut_empty", "GET", "/api/preview?gamut=", "", 400, kGamut + "\"\""},
        BadRequest{"gamut_twice", "GET", "/api/preview?gamut=clip&gamut=compress", "", 400,
                   kGamut + "\"clip\""},
        BadRequest{"loupe_gamut_unknown", "GET", "/api/loupe?x=10&y=10&gamut=1", "", 400,
                   kGamut + "\"1\""},
        BadRequest{"full_gamut_unknown", "GET", "/api/full?gamut=compressed", "", 400,
                   kGamut + "\"compressed\""},
        BadRequest{"scope_gamut_unknown", "GET", "/api/scope?gamut=none", "", 400,
                   kGamut + "\"none\""},
        BadRequest{"scope_size_beyond", "GET", "/api/scope?size=685", "", 400, kSize + "\"685\""},
        // The loupe: a spot inside the 684 x 460 chart, 16 to 512 pixels across.
        BadRequest{
            "loupe_left_of_the_photo", "GET", "/api/loupe?x=-1&y=10", "", 400,
            "\"x\" must be a whole number from 0 to 683 (a column of the photo), not \"-1\""},
        BadRequest{"loupe_right_of_the_photo", "GET", "/api/loupe?x=684&y=10", "", 400,
                   "\"x\" must be a whole number from 0 to 683 (a column of the photo), not "
                   "\"684\""},
        BadRequest{"loupe_below_the_photo", "GET", "/api/loupe?x=10&y=460", "", 400,
                   "\"y\" must be a whole number from 0 to 459 (a row of the photo), not \"460\""},
        BadRequest{"loupe_fraction", "GET", "/api/loupe?x=10.5&y=10", "", 400,
                   "\"x\" must be a whole number from 0 to 683 (a column of the photo), not "
                   "\"10.5\""},
        BadRequest{"loupe_huge", "GET", "/api/loupe?x=10&y=10&size=1000000", "", 400,
                   "\"size\" must be a whole number from 16 to 512, not \"1000000\""},
        BadRequest{"loupe_tiny", "GET", "/api/loupe?x=10&y=10&size=8", "", 400,
                   "\"size\" must be a whole number from 16 to 512, not \"8\""},
        BadRequest{"loupe_before_2", "GET", "/api/loupe?x=10&y=10&before=2", "", 400,
                   "\"before\" must be a whole number from 0 to 1, not \"2\""},
        BadRequest{"loupe_foreign_host", "GET", "/api/loupe?x=10&y=10", "", 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost},
        BadRequest{"unknown_path", "GET", "/api/nothing", "", 404,
                   "no such page: GET /api/nothing"},
        BadRequest{"edit_by_get", "GET", "/api/edit", "", 404, "no such page: GET /api/edit"},
        BadRequest{"path_not_utf8", "GET", "/%ff", "", 404, "no such page: GET /\xEF\xBF\xBD"},
        // Another site's name pointed at 127.0.0.1: nothing is answered, not even 404.
        BadRequest{"foreign_host", "GET", "/api/options", "", 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost},
        BadRequest{"foreign_host_download", "GET", "/api/full", "", 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost},
        BadRequest{"foreign_host_page", "GET", "/", "", 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost},
        BadRequest{"foreign_host_unknown_path", "GET", "/api/nothing", "", 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost},
        BadRequest{"foreign_host_edit", "POST", "/api/edit", kGoodEdit, 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost + kJsonType},
        BadRequest{"foreign_host_too_large", "POST", "/api/edit", std::string(100000, ' '), 421,
                   kOnlyOwnNames + ", not \"rebound.example:{port}\"", kForeignHost + kJsonType},
        BadRequest{"other_port", "GET", "/api/options", "", 421,
                   kOnlyOwnNames + ", not \"127.0.0.1:1\"", "Host: 127.0.0.1:1\r\n"},
        BadRequest{"name_without_port", "GET", "/api/options", "", 421,
                   kOnlyOwnNames + ", not \"localhost\"", "Host: localhost\r\n"},
        BadRequest{"name_with_more", "GET", "/api/options", "", 421,
                   kOnlyOwnNames + ", not \"localhost.:{port}\"", "Host: localhost.:{port}\r\n"},
        BadRequest{"no_host", "RAW", "", "", 421,
                   "a request without a Host header: " + kOnlyOwnNames, "",
                   "GET /api/options HTTP/1.1\r\n\r\n"},
        BadRequest{"two_hosts", "RAW", "", "", 421,
                   "a request with 2 Host headers: " + kOnlyOwnNames, "",
                   "GET /api/options HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                   "Host: rebound.example\r\n\r\n"},
        // A change posted from another site's page.
        BadRequest{"foreign_origin", "POST", "/api/edit", kGoodEdit, 403,
                   otherOrigin("http://rebound.example"),
                   kOwnHost + kJsonType + "Origin: http://rebound.example\r\n"},
        BadRequest{"origin_null", "POST", "/api/edit", kGoodEdit, 403, otherOrigin("null"),
                   kOwnHost + kJsonType + "Origin: null\r\n"},
        BadRequest{"origin_other_port", "POST", "/api/edit", kGoodEdit, 403,
                   otherOrigin("http://127.0.0.1:1"),
                   kOwnHost + kJsonType + "Origin: http://127.0.0.1:1\r\n"},
        BadRequest{"origin_other_scheme", "POST", "/api/edit", kGoodEdit, 403,
                   otherOrigin("https://127.0.0.1:{port}"),
                   kOwnHost + kJsonType + "Origin: https://127.0.0.1:{port}\r\n"},
        BadRequest{"origin_unknown_path", "POST", "/api/nothing", kGoodEdit, 403,
                   otherOrigin("http://rebound.example"),
                   kOwnHost + kJsonType + "Origin: http://rebound.example\r\n"},
        // Bodies a page of another site may send without the browser asking first.
        BadRequest{"text_plain", "POST", "/api/edit", kGoodEdit, 415,
                   kNotJson + "not as \"text/plain;charset=UTF-8\"",
                   kOwnHost + "Content-Type: text/plain;charset=UTF-8\r\n"},
        BadRequest{"form", "POST", "/api/edit", kGoodEdit, 415,
                   kNotJson + "not as \"application/x-www-form-urlencoded\"",
                   kOwnHost + "Content-Type: application/x-www-form-urlencoded\r\n"},
        BadRequest{"json_lookalike", "POST", "/api/edit", kGoodEdit, 415,
                   kNotJson + "not as \"application/jsonp\"",
                   kOwnHost + "Content-Type: application/jsonp\r\n"},
        BadRequest{"no_content_type", "POST", "/api/edit", kGoodEdit, 415,
                   kNotJson + "and this one names no type", kOwnHost},
        // Slow and oversized headers, refused by the front before the library sees them.
        BadRequest{"headers_unfinished", "RAW", "", "", 408,
                   "request headers not complete within 2 s", "",
                   "GET /api/options HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"},
        BadRequest{"headers_too_large", "RAW", "", "", 431,
                   "request headers too large (at most 16384 bytes)", "",
                   "GET /api/options HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Padding: "
                       + std::string(20000, 'a') + "\r\n\r\n"}),
    testing_support::CaseName());

// What the guard lets through must be exactly what the page and a local
// client send: every form of the server's own names, and JSON with or without
// parameters. Refused ones are in the table above, through HTTP.
TEST(ServeGuard, AnswersItsOwnNamesAndJsonFromItsOwnOrigin)
{
    struct Case {
        std::string method;
        int port;
        std::vector<std::pair<std::string, std::string>> headers;
        int refusedWith; // 0: answered
    };
    const std::string type = "application/json";
    const std::vector<Case> cases{
        {"GET", 8080, {{"Host", "127.0.0.1:8080"}}, 0},
        {"GET", 8080, {{"Host", "localhost:8080"}}, 0},
        {"GET", 8080, {{"Host", "LocalHost:8080"}}, 0},
        {"GET", 8080, {{"Host", "[::1]:8080"}}, 0},
        {"HEAD", 8080, {{"Host", "[::1]:8080"}}, 0},
        {"GET", 80, {{"Host", "localhost"}}, 0},
        {"GET", 80, {{"Host", "127.0.0.1:80"}}, 0},
        {"GET", 8080, {{"Host", "localhost"}}, 421},
        {"GET", 8080, {{"Host", "127.0.0.1:80"}}, 421},
        {"GET", 8080, {{"Host", "127.0.0.1:8080.rebound.example"}}, 421},
        {"GET", 8080, {{"Host", "127.0.0.1:80801"}}, 421},
        {"GET", 8080, {{"Host", "127.0.0.2:8080"}}, 421},
        {"GET", 8080, {{"Host", ""}}, 421},
        // A GET changes nothing: its Origin and type are not asked.
        {"GET", 8080, {{"Host", "localhost:8080"}, {"Origin", "http://rebound.example"}}, 0},
        {"POST", 8080, {{"Host", "127.0.0.1:8080"}, {"Content-Type", type}}, 0},
        {"POST", 8080, {{"Host", "127.0.0.1:8080"}, {"Content-Type", type + "; charset=utf-8"}}, 0},
        {"POST", 8080, {{"Host", "127.0.0.1:8080"}, {"Content-Type", "Application/JSON ;a=b"}}, 0},
        {"POST",
         8080,
         {{"Host", "127.0.0.1:8080"}, {"Origin", "http://127.0.0.1:8080"}, {"Content-Type", type}},
         0},
        {"POST",
         8080,
         {{"Host", "127.0.0.1:8080"}, {"Origin", "http://LOCALHOST:8080"}, {"Content-Type", type}},
         0},
        {"POST",
         8080,
         {{"Host", "localhost:8080"}, {"Origin", "http://[::1]:8080"}, {"Content-Type", type}},
         0},
        {"POST",
         8080,
         {{"Host", "localhost:8080"}, {"Origin", "http://localhost:8080/"}, {"Content-Type", type}},
         403},
        {"POST",
         8080,
         {{"Host", "localhost:8080"},
          {"Origin", "http://localhost:8080"},
          {"Origin", "http://rebound.example"},
          {"Content-Type", type}},
         403},
        {"POST",
         8080,
         {{"Host", "localhost:8080"}, {"Content-Type", type}, {"Content-Type", type}},
         415},
        {"PUT", 8080, {{"Host", "localhost:8080"}, {"Content-Type", "text/plain"}}, 415},
        {"DELETE", 8080, {{"Host", "localhost:8080"}, {"Origin", "null"}}, 403},
    };
    for (const Case& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.local_port = c.port;
        std::string shown = c.method + " on " + std::to_string(c.port);
        for (const auto& [name, value] : c.headers) {
            request.headers.emplace(name, value);
            shown.append(", ").append(name).append(": ").append(value);
        }
        std::optional<Refusal> refused = refusalOf(request);
        EXPECT_EQ(refused ? refused->status : 0, c.refusedWith) << shown;
    }
}

TEST(ServeGuard, PagePolicyAdmitsItsInlineBlocksByHashAndOnlyItsOwnOrigin)
{
    EXPECT_EQ(
        pagePolicy("<style>p{}</style><p>text</p><script>alert(1)</script><script>x</script>"),
        "default-src 'none'; "
        "script-src 'sha256-bhHHL3z2vDgxUt0W3dWQOrprscmda2Y5pLsLg4GF+pI=' "
        "'sha256-LXEWQrcmsEQBYnyp+6wy9chTD7GQPMTbAiWHF5IaSIE='; "
        "style-src 'sha256-gG2yISYereRMiG2lMXrbiUgi0Ubw9p7QCeWcroOvy9Y='; "
        "img-src 'self' blob:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
        "frame-ancestors 'none'");
    EXPECT_EQ(pagePolicy("<p>no script</p>"),
              "default-src 'none'; script-src 'none'; style-src 'none'; img-src 'self' blob:; "
              "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
}

// Connections that stop half way through their headers, and kept-alive ones
// left idle, each more than there are workers: a normal request is answered at
// once all the same, and the half-open ones are refused when their time is up.
TEST_F(Serve, HalfOpenAndIdleConnectionsHoldUpNoOtherRequest)
{
    using namespace std::chrono;
    constexpr int kHalfOpen = 50;
    constexpr int kIdle = 20;
    const std::string request =
        tool_test::withPort("GET /api/options HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n", port_);
    std::vector<std::unique_ptr<tool_test::RawConnection>> idle, halfOpen;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<tool_test::RawConnection>(port_));
        ASSERT_TRUE(idle.back()->send(request + "\r\n"));
        auto answer = idle.back()->answer(seconds(10));
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 200);
    }
    auto halfSent = steady_clock::now();
    for (int i = 0; i < kHalfOpen; ++i) {
        halfOpen.push_back(std::make_unique<tool_test::RawConnection>(port_));
        ASSERT_TRUE(halfOpen.back()->send(request));
    }

    httplib::Client http = client();
    http.set_connection_timeout(1, 0);
    http.set_read_timeout(1, 0);
    auto answer = http.Get("/api/options");
    ASSERT_TRUE(answer) << "not answered within 1 s: " << httplib::to_string(answer.error());
    EXPECT_EQ(answer->status, 200);

    for (auto& connection : halfOpen) {
        auto refused = connection->answer(seconds(kHeaderSeconds + 10));
        ASSERT_TRUE(refused) << "still open";
        EXPECT_EQ(refused->status, 408);
        EXPECT_TRUE(connection->closedBy(seconds(1)));
    }
    EXPECT_GE(steady_clock::now() - halfSent, seconds(kHeaderSeconds))
        << "refused before their time";
}

// One header byte every 50 ms would take half a minute: it is cut off at
// its time, not left to run on because every read brings something.
TEST_F(Serve, HeadersSentByteByByteAreCutOffAtTheirTime)
{
    using namespace std::chrono;
    tool_test::RawConnection connection(port_);
    std::string request =
        tool_test::withPort("GET /api/options HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Slow: "
                                + std::string(600, 'a') + "\r\n\r\n",
                            port_);
    auto started = steady_clock::now();
    std::size_t sent = 0;
    while (sent < request.size() && !connection.readable(milliseconds(50)))
        if (!connection.send(request.substr(sent++, 1)))
            break;
    auto refused = connection.answer(seconds(5));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 408);
    EXPECT_LT(sent, request.size());
    EXPECT_GE(steady_clock::now() - started, seconds(kHeaderSeconds));
}

TEST(ServeClipping, CountsChromaSamplesTheStagePutOnAnEdgeOnly)
{
    // Pixel by pixel: lightness, red-green, blue-yellow, before and after.
    struct Pixel {
        std::array<uint16_t, 3> before, after;
        bool clipped;
    };
    const std::vector<Pixel> pixels{
        {{500, 40000, 32767}, {500, 65535, 32767}, true},  // red-green onto the top
        {{500, 32767, 20000}, {500, 32767, 0}, true},      // blue-yellow onto the bottom
        {{500, 65535, 32767}, {500, 65535, 32767}, false}, // at the edge already
        {{500, 0, 0}, {500, 0, 0}, false},                 // both at the edge already
        {{0, 32767, 32767}, {0, 32767, 32767}, false},     // lightness is not the stage's
        {{500, 40000, 20000}, {500, 65534, 1}, false},     // close, but not clamped
    };
    WorkingImage before{static_cast<int32_t>(pixels.size()), 1, {}}, after = before;
    for (const Pixel& p : pixels) {
        before.samples.insert(before.samples.end(), p.before.begin(), p.before.end());
        after.samples.insert(after.samples.end(), p.after.begin(), p.after.end());
    }
    std::vector<bool> clipped = clippedByStage(before, after);
    ASSERT_EQ(clipped.size(), pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i)
        EXPECT_EQ(clipped[i], pixels[i].clipped) << "pixel " << i;
}

// A photo of the user's own: previewed scaled down, downloaded in its own format.
TEST_F(Serve, OwnPhotoIsScaledForThePreviewAndDownloadedInItsFormat)
{
    tool_test::ScratchFolder folder;
    tool_test::PhotoRecipe recipe{tool_test::Kind::Jpeg};
    std::string path = folder / recipe.fileName();
    tool_test::writePhoto(recipe, path);
    LivePhoto photo = LivePhoto::fromFile(path, 16, 2);
    EXPECT_EQ(std::max(photo.previewWidth(), photo.previewHeight()), 16);
    EXPECT_EQ(photo.width(), tool_test::kPatchesAcross * tool_test::kPatchSize);

    std::mutex stageLock;
    FullRender render = photo.full(stage_, stageLock, 92, nullptr);
    EXPECT_EQ(render.mimeType, "image/jpeg");
    EXPECT_EQ(render.fileName,
              std::filesystem::path(recipe.fileName()).stem().string() + "_vivanto.jpg");
    vips::VImage image =
        vips::VImage::new_from_buffer(render.bytes.data(), render.bytes.size(), "");
    EXPECT_EQ(image.width(), photo.width());
    EXPECT_EQ(image.get_string("vips-loader"), std::string("jpegload_buffer"));
}

// A server that already holds a port: a second one in this process cannot
// have it, and neither can vivanto serve.
TEST_F(Serve, SecondServerOnATakenPortIsRefusedWithAClearMessage)
{
    GuardedServer second;
    PreviewService secondService(stage_, *photo_, 92);
    secondService.install(second);
    try {
        bindLoopback(second, port_);
        FAIL() << "a second server bound the port in use";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("Address already in use"), std::string::npos)
            << error.what();
    }
    tool_test::ToolRun run = tool_test::runVivanto({"serve", "--port", std::to_string(port_)});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot listen on 127.0.0.1:" + std::to_string(port_)),
              std::string::npos)
        << run.err;
    EXPECT_EQ(client().Get("/api/options")->status, 200) << "the first one still answers";
}

// vivanto serve as a process, its standard output read through a pipe.
class ServeProcess {
public:
    explicit ServeProcess(const std::vector<std::string>& arguments)
    {
        int ends[2];
        if (pipe(ends) != 0)
            throw std::runtime_error("no pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        out_ = ends[0];
        try {
            pid_ = tool_test::spawnVivanto(arguments, actions);
        } catch (...) {
            posix_spawn_file_actions_destroy(&actions);
            close(ends[1]);
            close(out_);
            throw;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
    }
    ~ServeProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Standard output up to the first line end, or all of it if it closes
    // first; gives up after `seconds`.
    std::string firstLine(int seconds)
    {
        std::string text;
        pollfd ready{out_, POLLIN, 0};
        char c = 0;
        while (poll(&ready, 1, seconds * 1000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
            text += c;
        return text;
    }

    std::string rest()
    {
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = read(out_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(n));
        return text;
    }

    // The exit status once it ends, or -1 after `seconds`.
    int exitStatus(int seconds)
    {
        for (int waited = 0; waited < seconds * 100; ++waited) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
    int out_ = -1;
};

// AddressSanitizer holds freed memory back (its quarantine) on purpose, so the
// resident size grows under it whatever the program does; it reports leaks itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

// The server's resident memory, from /proc.
long residentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

// Eight clients for ten seconds on loopback against the real binary: edits,
// previews and full-size downloads mixed. Every answer is checked (the
// settings as stored after each edit, previews that decode at their size,
// downloads of the whole photo), and the server's memory stays steady.
TEST(ServeLoad, EightClientsForTenSecondsAllAnsweredRightWithSteadyMemory)
{
    using namespace std::chrono;
    constexpr int kClients = 8;
    constexpr auto kRun = seconds(10);
    constexpr int kMostRequestsEach = 2000;
    constexpr int kPreview = 300;
    startImageLibrary("serve_test");
    ServeProcess server({"serve", "--port", "0", "--preview-size", std::to_string(kPreview)});
    std::string started = server.firstLine(60);
    ASSERT_NE(started.find("on http://127.0.0.1:"), std::string::npos) << started;
    int port = std::stoi(started.substr(started.rfind(':') + 1));

    std::mutex problemsLock;
    std::vector<std::string> problems;
    auto problem = [&](const std::string& what) {
        std::scoped_lock lock(problemsLock);
        if (problems.size() < 10)
            problems.push_back(what);
    };
    std::atomic<int> edits{0}, previews{0}, downloads{0};
    steady_clock::time_point end;
    std::latch warmedUp(kClients);
    std::latch running(1);
    auto client = [&](int c) {
        httplib::Client http("127.0.0.1", port);
        http.set_keep_alive(true);
        http.set_read_timeout(30, 0);
        const std::array<std::string, 3> keys{"vivanto_enabled", "vivanto_rg", "vivanto_by"};
        auto unchecked = [&](int i, int kind, bool download) {
            if (kind < 5) {
                const std::string& key = keys[std::size_t(c + i) % keys.size()];
                int value = key == keys[0] ? i % 2 : (c * 37 + i * 11) % 700 - 100;
                auto answer = http.Post("/api/edit", json{{"key", key}, {"value", value}}.dump(),
                                        "application/json");
                if (!answer || answer->status != 200) {
                    problem("edit not answered 200");
                    return;
                }
                json stored = json::parse(answer->body, nullptr, false);
                std::map<std::string, int> values;
                for (const json& option : stored["options"])
                    values[option["key"].get<std::string>()] = option["value"].get<int>();
                if (values[key] != value || (key != keys[0] && values[keys[0]] != 1))
                    problem("edit " + key + "=" + std::to_string(value) + " answered "
                            + stored.dump());
                ++edits;
            } else if (kind == 11 && download) {
                auto answer = http.Get("/api/full");
                if (!answer || answer->status != 200) {
                    problem("download not answered 200");
                    return;
                }
                vips::VImage image = vips::VImage::new_from_buffer(answer->body, "");
                if (image.width() != 684 || image.height() != 460
                    || image.format() != VIPS_FORMAT_USHORT || image.avg() <= 0)
                    problem("download of the wrong size or depth");
                ++downloads;
            } else {
                auto answer = http.Get(i % 2 == 0 ? "/api/preview" : "/api/preview?marks=1");
                if (!answer || answer->status != 200
                    || answer->get_header_value("Content-Type") != "image/png") {
                    problem("preview not answered 200 with a PNG");
                    return;
                }
                vips::VImage image = vips::VImage::new_from_buffer(answer->body, "");
                if (std::max(image.width(), image.height()) != kPreview || image.avg() <= 0)
                    problem("preview of the wrong size");
                ++previews;
            }
        };
        auto request = [&](int i, int kind, bool download) {
            try {
                unchecked(i, kind, download);
            } catch (const std::exception& error) { // an answer libvips cannot decode
                problem(error.what());
            }
        };
        // Warm-up: each kind of request once, every client downloading at the
        // same time, so that the server has held the most it will at once.
        for (int kind = 0; kind < 12; ++kind)
            request(kind, kind, true);
        warmedUp.count_down();
        running.wait();
        for (int i = 0; i < kMostRequestsEach && steady_clock::now() < end; ++i)
            request(i, (c + i) % 12, c % 2 == 0);
    };
    long warm = 0;
    {
        std::vector<std::jthread> clients;
        clients.reserve(kClients);
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back(client, c);
        warmedUp.wait();
        warm = residentKilobytes(server.pid());
        end = steady_clock::now() + kRun;
        running.count_down();
    }
    long last = residentKilobytes(server.pid());
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_GT(edits, 0);
    EXPECT_GT(previews, 0);
    EXPECT_GT(downloads, 0);
    std::printf("%d edits, %d previews, %d downloads; resident %ld kB after warm-up, %ld kB at "
                "the end\n",
                edits.load(), previews.load(), downloads.load(), warm, last);
    if (!kUnderAddressSanitizer) {
        EXPECT_LE(double(last), 1.2 * double(warm));
    }
    kill(server.pid(), SIGINT);
    EXPECT_EQ(server.exitStatus(10), 0);
}

struct StopSignal {
    std::string name;
    int signal;
};

void PrintTo(const StopSignal& row, std::ostream* out)
{
    *out << row.name;
}

class ServeStops : public testing::TestWithParam<StopSignal> {};

TEST_P(ServeStops, CleanlyOnTheSignalEvenWithAConnectionOpen)
{
    ServeProcess server({"serve", "--port", "0"});
    std::string started = server.firstLine(60);
    std::size_t colon = started.rfind(':');
    ASSERT_NE(started.find("on http://127.0.0.1:"), std::string::npos) << started;
    int port = std::stoi(started.substr(colon + 1));
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    ASSERT_EQ(client.Get("/api/options")->status, 200);

    // Within the keep-alive time, not after a browser's idle connection times out.
    kill(server.pid(), GetParam().signal);
    EXPECT_EQ(server.exitStatus(3), 0);
    EXPECT_EQ(server.rest(), "vivanto serve: stopped\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, ServeStops,
                         testing::Values(StopSignal{"ctrl_c", SIGINT},
                                         StopSignal{"sigterm", SIGTERM}),
                         testing_support::CaseName());

} // namespace
