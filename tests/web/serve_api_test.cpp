// filterhost serve through its HTTP API: the token, uploads (hostile and
// oversize ones too), runs in child processes (crashing, cancelled,
// queued from several clients at once), downloads and names that try to
// reach outside the session.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "command.h"
#include "host.h"
#include "image_file.h"
#include "pixel_diff.h"
#include "serve_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const fs::path kChelsea = SOURCE_DIR "/examples/chelsea.png";
const fs::path kCoins = SOURCE_DIR "/examples/coins.png";

std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t Crc32(const std::string& bytes)
{
    uint32_t crc = 0xffffffffu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string BigEndian32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// A PNG signature and a well-formed header chunk claiming the given size,
// with no pixel data after it.
std::string PngHeaderOnly(uint32_t width, uint32_t height)
{
    std::string chunk =
        "IHDR" + BigEndian32(width) + BigEndian32(height) + std::string("\x08\x02\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + BigEndian32(13) + chunk +
           BigEndian32(Crc32(chunk));
}

class Client {
public:
    explicit Client(const ServeProcess& server)
        : server_(server), http_(server.Host(), server.Port())
    {
        http_.set_read_timeout(60, 0);
    }

    httplib::Result Get(const std::string& path) { return http_.Get(server_.With(path)); }
    httplib::Result GetWithoutToken(const std::string& path) { return http_.Get(path); }
    httplib::Result Post(const std::string& path, const std::string& body,
                         const std::string& type = "application/json")
    {
        return http_.Post(server_.With(path), body, type);
    }

    json Upload(const std::string& bytes, const std::string& name, int expectStatus = 201)
    {
        auto res = Post("/api/images?name=" + name, bytes, "application/octet-stream");
        EXPECT_TRUE(res) << "no answer";
        if (!res)
            return nullptr;
        EXPECT_EQ(res->status, expectStatus) << res->body;
        return res->body.empty() ? json(nullptr) : json::parse(res->body);
    }

    json Submit(const std::string& plugin, int image, const json& params = json::object())
    {
        auto res = Post("/api/runs",
                        json{{"plugin", plugin}, {"image", image}, {"params", params}}.dump());
        EXPECT_TRUE(res && res->status == 202) << (res ? res->body : "no answer");
        return res ? json::parse(res->body) : json(nullptr);
    }

    json Run(int id)
    {
        auto res = Get("/api/runs/" + std::to_string(id));
        return res && res->status == 200 ? json::parse(res->body) : json(nullptr);
    }

    // Polls until the run has ended (or 60 seconds pass).
    json WaitForRun(int id)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        json run;
        do {
            run = Run(id);
            const std::string state = run.value("state", "");
            if (state == "done" || state == "failed" || state == "cancelled")
                return run;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        ADD_FAILURE() << "run " << id << " did not end: " << run.dump();
        return run;
    }

    std::string Download(int image, const std::string& format, int expectStatus = 200)
    {
        auto res = Get("/api/images/" + std::to_string(image) + "/file?format=" + format);
        EXPECT_TRUE(res && res->status == expectStatus) << (res ? res->body : "no answer");
        return res ? res->body : "";
    }

private:
    const ServeProcess& server_;
    httplib::Client http_;
};

class ServeApi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new ServeProcess({}, {"--plugin-dir", TestPluginPath()});
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override
    {
        work_ = fs::temp_directory_path() / ("serve_api_" + std::to_string(getpid()));
        fs::create_directories(work_ / "desktop");
        fs::create_directories(work_ / "prefs");
    }
    void TearDown() override
    {
        fs::remove_all(work_);
        EXPECT_TRUE(server_->Running()) << "the server ended";
    }

    // What `filterhost run` writes for the same input and Desktop folder.
    // The pixels `filterhost run` writes for the plug-in on the input.
    host::Image CommandLineResult(const std::string& plugin, const fs::path& input,
                                  const std::vector<std::string>& extraArgs = {})
    {
        const fs::path output = work_ / "expected.tif";
        test_support::Command command;
        command.argv = {test_support::FilterhostPath().string(),
                        "run",
                        plugin,
                        input.string(),
                        "-o",
                        output.string(),
                        "--prefs-dir",
                        (work_ / "prefs").string(),
                        "--desktop-dir",
                        (work_ / "desktop").string(),
                        "-q"};
        command.argv.insert(command.argv.end(), extraArgs.begin(), extraArgs.end());
        const auto result = test_support::RunCommand(command, work_);
        EXPECT_EQ(result.exit, 0) << result.err;
        return host::ReadImageFile(output);
    }

    // The pixels of a downloaded TIFF. Files are compared by their pixels:
    // the writers may differ in how they lay out the same image.
    host::Image Pixels(const std::string& tiffBytes)
    {
        const fs::path file = work_ / "downloaded.tif";
        std::ofstream(file, std::ios::binary) << tiffBytes;
        return host::ReadImageFile(file);
    }

    static ServeProcess* server_;
    fs::path work_;
};
ServeProcess* ServeApi::server_ = nullptr;

TEST_F(ServeApi, EveryRequestNeedsTheToken)
{
    Client client(*server_);
    for (const std::string path : {"/", "/app.js", "/api/session", "/api/images", "/api/events",
                                   "/api/runs/1", "/api/images/1/preview", "/nothing/here"}) {
        auto res = client.GetWithoutToken(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 403) << path;
        auto wrong = client.GetWithoutToken(path + "?token=" + std::string(32, '0'));
        ASSERT_TRUE(wrong);
        EXPECT_EQ(wrong->status, 403) << path;
    }
    auto post = client.GetWithoutToken("/api/session?token=" + server_->Token().substr(1));
    EXPECT_EQ(post->status, 403);

    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>filterhost</title>"), std::string::npos);

    httplib::Client raw(server_->Host(), server_->Port());
    auto header = raw.Get("/api/session", {{"X-Filterhost-Token", server_->Token()}});
    ASSERT_TRUE(header);
    EXPECT_EQ(header->status, 200);
}

TEST_F(ServeApi, SessionListsThePluginsWithTheirDescriptions)
{
    Client client(*server_);
    auto res = client.Get("/api/session");
    ASSERT_TRUE(res);
    const json session = json::parse(res->body);
    std::map<std::string, json> plugins;
    for (const json& p : session["plugins"])
        plugins[p["name"]] = p;
    ASSERT_TRUE(plugins.count("rank_sharpen"));
    EXPECT_EQ(plugins["rank_sharpen"]["about"], "Rank-Based Sharpening Filter");
    const json& params = plugins["rank_sharpen"]["description"]["parameters"];
    ASSERT_EQ(params.size(), 4u);
    EXPECT_EQ(params[0]["name"], "radius");
    EXPECT_EQ(params[0]["default"], 2.9);
    EXPECT_EQ(plugins["cross_correlate"]["description"]["reference_image"], "reads");
    EXPECT_TRUE(plugins.count("web_test_crash"));
}

TEST_F(ServeApi, RunsGiveTheCommandLineBytes)
{
    Client client(*server_);
    const json image = client.Upload(Slurp(kChelsea), "chelsea.png");
    ASSERT_EQ(image["width"], 451);
    EXPECT_EQ(image["label"], "chelsea.png");

    const json ihs = client.WaitForRun(client.Submit("rgb_to_ihs", image["id"])["id"]);
    ASSERT_EQ(ihs["state"], "done") << ihs.dump();
    EXPECT_IMAGES_EQ(CommandLineResult("rgb_to_ihs", kChelsea),
                     Pixels(client.Download(ihs["result_image"], "tif")));

    // Parameters go into the parameter file the filter reads, as with
    // --param on the command line.
    const json sharp = client.WaitForRun(
        client.Submit("rank_sharpen", image["id"], {{"radius", "1.5"}, {"amount", 250}})["id"]);
    ASSERT_EQ(sharp["state"], "done") << sharp.dump();
    const host::Image expected = CommandLineResult(
        "rank_sharpen", kChelsea, {"--param", "radius=1.5", "--param", "amount=250"});
    EXPECT_IMAGES_EQ(expected, Pixels(client.Download(sharp["result_image"], "tif")));
    const json plain = client.WaitForRun(client.Submit("rank_sharpen", image["id"])["id"]);
    EXPECT_FALSE(Pixels(client.Download(plain["result_image"], "tif")) == expected);

    // A chain: the result is the next run's input.
    const json chained =
        client.WaitForRun(client.Submit("fill_holes", sharp["result_image"])["id"]);
    ASSERT_EQ(chained["state"], "done");
    EXPECT_EQ(chained["result_info"]["parent"], sharp["result_image"]);
}

TEST_F(ServeApi, RefusedParametersFailTheRunWithTheReason)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
    const json run = client.WaitForRun(client.Submit("rank_sharpen", image, {{"radius", 9}})["id"]);
    EXPECT_EQ(run["state"], "failed");
    EXPECT_NE(run["error"].get<std::string>().find("radius"), std::string::npos) << run.dump();
    const json unknown =
        client.WaitForRun(client.Submit("rank_sharpen", image, {{"../x", 1}})["id"]);
    EXPECT_EQ(unknown["state"], "failed");

    // A plug-in is offered only the kinds of image it takes, as on the
    // command line.
    const fs::path labFile = work_ / "lab.tif";
    host::WriteImageFile(labFile, host::Image::Make(8, 8, plugInModeLabColor, 8));
    const int lab = client.Upload(Slurp(labFile), "lab.tif")["id"];
    const json refused = client.WaitForRun(client.Submit("rgb_to_ihs", lab)["id"]);
    EXPECT_EQ(refused["state"], "failed");
    EXPECT_NE(refused["error"].get<std::string>().find("does not take"), std::string::npos)
        << refused.dump();

    auto nested =
        client.Post("/api/runs", R"({"plugin":"rank_sharpen","image":1,"params":{"radius":[1]}})");
    EXPECT_EQ(nested->status, 400);
    auto broken = client.Post("/api/runs", "{not json");
    EXPECT_EQ(broken->status, 400);
}

TEST_F(ServeApi, MessagesAndTheReferenceImage)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
    const json perimeter = client.WaitForRun(client.Submit("total_perimeter", image)["id"]);
    ASSERT_EQ(perimeter["state"], "done");
    ASSERT_EQ(perimeter["messages"].size(), 1u);
    EXPECT_FALSE(perimeter["messages"][0].get<std::string>().empty());

    const json stored = client.WaitForRun(client.Submit("store_reference", image)["id"]);
    ASSERT_EQ(stored["state"], "done");
    const json reference = json::parse(client.Get("/api/reference")->body)["reference"];
    const json info = json::parse(client.Get("/api/images/" + std::to_string(image))->body);
    EXPECT_EQ(reference["width"], info["width"]);
    EXPECT_EQ(reference["height"], info["height"]);
    EXPECT_TRUE(fs::exists(server_->SessionFolder() / "prefs" / "Reference Image.xzy"));
}

TEST_F(ServeApi, HostileUploadsAreRefusedAndTheServerGoesOn)
{
    Client client(*server_);
    const std::string png = Slurp(kChelsea);
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"text", "this is not an image"},
        {"truncated png", png.substr(0, png.size() / 3)},
        {"png header only", PngHeaderOnly(64, 64)},
        {"huge png", PngHeaderOnly(1000000, 1000000)},
        {"zero-size png", PngHeaderOnly(0, 0)},
        {"pgm with a huge size", "P5\n2000000000 2000000000\n255\n"},
        {"pgm short of samples", "P5\n100 100\n255\n" + std::string(10, '\x7f')},
        {"tiff magic alone", std::string("II*\0", 4)},
    };
    for (const auto& [what, bytes] : hostile) {
        const json refusal = client.Upload(bytes, "bad", 422);
        ASSERT_TRUE(refusal.is_object()) << what;
        EXPECT_FALSE(refusal.value("error", "").empty()) << what;
    }
    client.Upload("", "empty", 400);
    EXPECT_EQ(json::parse(client.Get("/api/images")->body).size(),
              json::parse(client.Get("/api/images")->body).size());
    EXPECT_EQ(client.Upload(png, "chelsea.png")["height"], 300);
}

TEST_F(ServeApi, NamesCannotReachOutsideTheSession)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "../../../etc/passwd")["id"];
    for (const std::string& path : std::vector<std::string>{
             "/../../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/api/images/..%2f..%2fetc",
             "/api/images/-1", "/api/images/1/../../../etc/passwd", "/api/images/99999/preview",
             "/web/app.js", "/api/images/" + std::to_string(image) + "/file?format=../../x",
             "/api/images/" + std::to_string(image) + "/file?format=png%00.sh"}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_GE(res->status, 400) << path;
        EXPECT_EQ(res->body.find("root:"), std::string::npos) << path;
    }
    for (const std::string plugin : {"../plugins/rgb_to_ihs", "/bin/sh", "rgb_to_ihs.so", ""}) {
        auto res = client.Post("/api/runs", json{{"plugin", plugin}, {"image", image}}.dump());
        EXPECT_EQ(res->status, 404) << plugin;
    }
    // The upload's name is only a label; the download's file name is cut
    // down to harmless characters.
    auto res = client.Get("/api/images/" + std::to_string(image) + "/file?format=png");
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Disposition"), "attachment; filename=\"passwd.png\"");
    EXPECT_FALSE(fs::exists(server_->SessionFolder() / ".." / "etc"));
}

TEST_F(ServeApi, AFormatThatCannotHoldTheImageIsRefused)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kChelsea), "chelsea.png")["id"];
    const json refusal = json::parse(client.Download(image, "pgm", 422));
    EXPECT_FALSE(refusal.value("error", "").empty());
    const std::string png = client.Download(image, "png");
    EXPECT_EQ(png.substr(1, 3), "PNG");
}

TEST_F(ServeApi, ACrashingPluginFailsItsRunOnly)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
    const json crashed = client.WaitForRun(client.Submit("web_test_crash", image)["id"]);
    EXPECT_EQ(crashed["state"], "failed");
    EXPECT_NE(crashed["error"].get<std::string>().find("crashed"), std::string::npos)
        << crashed.dump();
    const json next = client.WaitForRun(client.Submit("label_brightness", image)["id"]);
    EXPECT_EQ(next["state"], "done");
}

TEST_F(ServeApi, RunsFromManyClientsAreQueuedAndCancelAsCtrlCDoes)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
    const int waiting = client.Submit("fh_test_waits", image)["id"];
    for (int i = 0; i < 400 && client.Run(waiting)["messages"].empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));  // the filter is in its loop

    // Four clients at once, while the first run holds the queue.
    std::vector<int> ids(4);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < ids.size(); ++i)
        clients.emplace_back([&, i] {
            Client own(*server_);
            ids[i] = own.Submit(i % 2 ? "label_brightness" : "fill_holes", image)["id"];
        });
    for (auto& t : clients)
        t.join();
    for (int id : ids)
        EXPECT_EQ(client.Run(id)["state"], "queued");

    // A queued run is dropped at once.
    auto dropped = client.Post("/api/runs/" + std::to_string(ids[3]) + "/cancel", "");
    EXPECT_EQ(json::parse(dropped->body)["state"], "cancelled");

    // The running one stops at its next cancel test; the queue moves on.
    client.Post("/api/runs/" + std::to_string(waiting) + "/cancel", "");
    const json cancelled = client.WaitForRun(waiting);
    EXPECT_EQ(cancelled["state"], "cancelled");
    EXPECT_EQ(cancelled["messages"], json::array({"waiting"}));
    std::set<int> results;
    for (int i = 0; i < 3; ++i) {
        const json run = client.WaitForRun(ids[i]);
        EXPECT_EQ(run["state"], "done");
        results.insert(run["result_image"].get<int>());
    }
    EXPECT_EQ(results.size(), 3u);
    auto again = client.Post("/api/runs/" + std::to_string(waiting) + "/cancel", "");
    EXPECT_EQ(again->status, 409);
}

// A plug-in that never looks at its cancel test would hold the queue for
// good; Cancel ends it by force after a grace period.
TEST_F(ServeApi, AStubbornRunIsEndedByForceAndTheQueueMovesOn)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
    const int stubborn = client.Submit("fh_test_stubborn", image)["id"];
    for (int i = 0; i < 400 && client.Run(stubborn)["messages"].empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const int next = client.Submit("label_brightness", image)["id"];
    const auto asked = std::chrono::steady_clock::now();
    client.Post("/api/runs/" + std::to_string(stubborn) + "/cancel", "");
    const json ended = client.WaitForRun(stubborn);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(15));
    EXPECT_EQ(ended["state"], "cancelled");
    EXPECT_NE(ended["phase"].get<std::string>().find("by force"), std::string::npos);
    EXPECT_EQ(client.WaitForRun(next)["state"], "done");
}

TEST_F(ServeApi, EventsReportARunAsItGoes)
{
    Client client(*server_);
    const int image = client.Upload(Slurp(kChelsea), "chelsea.png")["id"];
    std::string stream;
    std::atomic<bool> finished{false};
    httplib::Client events(server_->Host(), server_->Port());
    std::thread reader([&] {
        events.Get(server_->With("/api/events"), [&](const char* data, size_t length) {
            stream.append(data, length);
            return !finished && stream.find("\"state\":\"done\"") == std::string::npos;
        });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const json run = client.WaitForRun(client.Submit("rank_sharpen", image)["id"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    finished = true;
    events.stop();
    reader.join();
    EXPECT_EQ(run["state"], "done");
    EXPECT_NE(stream.find("event: run"), std::string::npos);
    EXPECT_NE(stream.find("\"state\":\"running\""), std::string::npos);
    EXPECT_NE(stream.find("\"state\":\"done\""), std::string::npos);
}

TEST(ServeLimits, OversizeUploadsAreRefusedBeforeTheyAreRead)
{
    ServeProcess server({"--max-upload", "4K"});
    Client client(server);
    auto res = client.Post("/api/images?name=big.png", Slurp(kChelsea), "application/octet-stream");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_NE(json::parse(res->body)["error"].get<std::string>().find("--max-upload"),
              std::string::npos);
    EXPECT_EQ(json::parse(client.Get("/api/images")->body).size(), 0u);
    EXPECT_TRUE(server.Running());
}

TEST(ServeLimits, BadSizesAndAddressesAreRefusedAtStart)
{
    for (const std::string size : {"lots", "0", "12Q", "99999999999G"}) {
        const std::string command =
            std::string(BINARY_DIR "/bin/filterhost serve --max-upload ") + size + " 2>/dev/null";
        EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1) << size;
    }
}

TEST(ServeLimits, TheSessionFolderGoesAtExitButAPrefsDirStays)
{
    const fs::path prefs = fs::temp_directory_path() / ("serve_prefs_" + std::to_string(getpid()));
    fs::create_directories(prefs);
    fs::path folder;
    {
        ServeProcess server({"--prefs-dir", prefs.string()});
        folder = server.SessionFolder();
        Client client(server);
        const int image = client.Upload(Slurp(kCoins), "coins.png")["id"];
        EXPECT_EQ(client.WaitForRun(client.Submit("store_reference", image)["id"])["state"],
                  "done");
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(server.Stop(), 0);
    }
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(prefs / "Reference Image.xzy"));
    fs::remove_all(prefs);
}

}  // namespace
