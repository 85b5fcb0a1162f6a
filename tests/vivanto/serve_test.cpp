// vivanto serve's JSON API and its failures, against a server running in this
// process on a free port of 127.0.0.1 and reached with an HTTP client; and
// the real binary for what only a process shows: the taken port and Ctrl-C.
#include "case_name.h"
#include "guarded_server.h"
#include "preview.h"
#include "serve_api.h"
#include "tool_support.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
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
                    {"previewHeight", 135}}));
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
    EXPECT_EQ(boosted->get_header_value("X-Clipped-Pixels"), "0");
    optionsAfterEdit("vivanto_enabled", 0);
    EXPECT_EQ(preview()->body, beforePng());
    EXPECT_EQ(client().Get("/api/preview/before")->body, beforePng());
}

TEST_F(Serve, ClippedPixelsAreCountedAndMarkedOnlyWhenAsked)
{
    optionsAfterEdit("vivanto_by", 600);
    auto plain = preview(false);
    auto marked = preview(true);
    EXPECT_GT(std::stoll(plain->get_header_value("X-Clipped-Pixels")), 0);
    EXPECT_EQ(marked->get_header_value("X-Clipped-Pixels"),
              plain->get_header_value("X-Clipped-Pixels"));
    EXPECT_NE(marked->body, plain->body);
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
};

void PrintTo(const BadRequest& row, std::ostream* out)
{
    *out << row.name;
}

class ServeBadRequests : public Serve, public testing::WithParamInterface<BadRequest> {};

TEST_P(ServeBadRequests, GetTheirErrorAndChangeNothing)
{
    const BadRequest& c = GetParam();
    httplib::Client http = client();
    auto answer =
        c.method == "GET" ? http.Get(c.path) : http.Post(c.path, c.body, "application/json");
    ASSERT_TRUE(answer) << "no answer";
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(answer->body, nullptr, false), (json{{"error", c.error}}));

    auto after = client().Get("/api/options");
    ASSERT_TRUE(after) << "the server is gone";
    json options = json::parse(after->body); // kept: a range over a temporary's member dangles
    for (const json& option : options["options"])
        EXPECT_EQ(option["value"], option["default"]) << option["key"];
}

const std::string kShape = "expected {\"key\": \"...\", \"value\": integer}";
const std::string kRange = " is out of range -2147483648..2147483647";

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
        BadRequest{"unknown_path", "GET", "/api/nothing", "", 404,
                   "no such page: GET /api/nothing"},
        BadRequest{"edit_by_get", "GET", "/api/edit", "", 404, "no such page: GET /api/edit"},
        BadRequest{"path_not_utf8", "GET", "/%ff", "", 404, "no such page: GET /\xEF\xBF\xBD"}),
    testing_support::CaseName());

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
