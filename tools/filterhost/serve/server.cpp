// Routes of the page and its API. Every request carries the session token
// (the `token` query parameter or the X-Filterhost-Token header). Names in
// requests are never paths: images and runs are numbers, plug-ins are
// looked up among those found at start, formats come from a fixed list.
#include "server.h"

#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "../plugin_search.h"
#include "events.h"
#include "run_queue.h"
#include "session.h"
#include "web_assets.h"

namespace filterhost::serve {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kTokenHeader = "X-Filterhost-Token";
constexpr const char* kFormats[] = {"png", "tif", "tiff", "pgm", "ppm", "pnm"};

void SendJson(httplib::Response& res, const json& body, int status = 200)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& text)
{
    SendJson(res, {{"error", text}}, status);
}

std::optional<std::string> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int NumberIn(const httplib::Request& req, size_t match = 1)
{
    try {
        return std::stoi(req.matches[match].str());
    } catch (const std::exception&) {
        return 0;
    }
}

std::string HostForUrl(const std::string& address)
{
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

class Server {
public:
    Server(const ServerSettings& settings)
        : settings_(settings), token_(MakeToken()),
          session_(FindPlugins(settings.pluginFolders), settings.prefs), queue_(session_, events_)
    {
        http_.new_task_queue = [] { return new httplib::ThreadPool(32); };
        http_.set_payload_max_length(settings.maxUpload);
        http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            return Guard(req, res);
        });
        http_.set_error_handler(httplib::Server::HandlerWithResponse(
            [this](const httplib::Request&, httplib::Response& res) { return ErrorText(res); }));
        Routes();
    }

    int Serve()
    {
        int port = settings_.port;
        if (port == 0 || !http_.bind_to_port(settings_.listen.c_str(), port))
            port = http_.bind_to_any_port(settings_.listen.c_str());
        if (port <= 0) {
            std::cerr << "filterhost: cannot listen on " << settings_.listen << "\n";
            return 1;
        }
        Announce(port);
        std::thread stopper([this] { WaitForStopSignal(); });
        http_.listen_after_bind();
        kill(getpid(), SIGUSR1);  // ends the stopping thread when listening failed by itself
        stopper.join();
        return 0;
    }

private:
    void Announce(int port) const
    {
        std::cout << "filterhost serve: open this address in a browser (Ctrl-C to stop):\n  http://"
                  << HostForUrl(settings_.listen) << ":" << port << "/?token=" << token_ << "\n";
        if (settings_.listen != "127.0.0.1" && settings_.listen != "::1" &&
            settings_.listen != "localhost")
            std::cout << "  (listening on " << settings_.listen
                      << ": anyone who can reach it and has the token can use it)\n";
        std::cout << "  session folder: " << session_.Folder().string() << "\n" << std::flush;
    }

    // SIGINT and SIGTERM are blocked in every thread and taken here.
    void WaitForStopSignal()
    {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGUSR1);
        int signal = 0;
        sigwait(&stop, &signal);
        if (signal != SIGUSR1)
            std::cerr << "\nfilterhost serve: stopping\n";
        events_.Close();
        http_.stop();
    }

    httplib::Server::HandlerResponse Guard(const httplib::Request& req, httplib::Response& res)
    {
        std::string given = req.get_param_value("token");
        if (given.empty())
            given = req.get_header_value(kTokenHeader);
        if (TokenMatches(given, token_)) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Referrer-Policy", "no-referrer");
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 403;
        res.set_content("filterhost serve: open the address with the token that 'filterhost "
                        "serve' printed when it started.\n",
                        "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    }

    // Refusals the library makes itself (too large, unknown route) get a
    // text the page can show.
    httplib::Server::HandlerResponse ErrorText(httplib::Response& res) const
    {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        if (res.status == 413)
            SendError(res, 413,
                      "the upload is larger than the " + std::to_string(settings_.maxUpload) +
                          " bytes this server accepts (--max-upload)");
        else
            SendError(res, res.status, res.status == 404 ? "not found" : "refused");
        return httplib::Server::HandlerResponse::Handled;
    }

    void Routes()
    {
        http_.Get(R"(/(|index\.html|app\.js|style\.css))",
                  [this](const httplib::Request& req, httplib::Response& res) { Asset(req, res); });
        http_.Get("/api/session", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, {{"plugins", session_.Plugins()},
                           {"images", session_.Images()},
                           {"reference", session_.Reference()},
                           {"max_upload", settings_.maxUpload}});
        });
        http_.Get("/api/plugins", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, session_.Plugins());
        });
        http_.Get("/api/reference", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, {{"reference", session_.Reference()}});
        });
        http_.Get("/api/images", [this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, session_.Images());
        });
        http_.Post("/api/images", [this](const httplib::Request& req, httplib::Response& res) {
            Upload(req, res);
        });
        http_.Get(R"(/api/images/(\d{1,9}))",
                  [this](const httplib::Request& req, httplib::Response& res) {
                      if (auto image = session_.Image(NumberIn(req)))
                          return SendJson(res, ToJson(*image));
                      SendError(res, 404, "no such image");
                  });
        http_.Get(
            R"(/api/images/(\d{1,9})/(preview|samples))",
            [this](const httplib::Request& req, httplib::Response& res) { ImageData(req, res); });
        http_.Get(
            R"(/api/images/(\d{1,9})/file)",
            [this](const httplib::Request& req, httplib::Response& res) { Download(req, res); });
        http_.Post("/api/runs", [this](const httplib::Request& req, httplib::Response& res) {
            Submit(req, res);
        });
        http_.Get(R"(/api/runs/(\d{1,9}))",
                  [this](const httplib::Request& req, httplib::Response& res) {
                      if (auto run = queue_.Describe(NumberIn(req)))
                          return SendJson(res, *run);
                      SendError(res, 404, "no such run");
                  });
        http_.Post(R"(/api/runs/(\d{1,9})/cancel)",
                   [this](const httplib::Request& req, httplib::Response& res) {
                       if (!queue_.Cancel(NumberIn(req)))
                           return SendError(res, 409, "the run is not queued or running");
                       SendJson(res, *queue_.Describe(NumberIn(req)));
                   });
        http_.Get("/api/events",
                  [this](const httplib::Request&, httplib::Response& res) { Events(res); });
    }

    // The page's own links to its script and style sheet carry the token too.
    void Asset(const httplib::Request& req, httplib::Response& res) const
    {
        std::string path = req.matches[1].str();
        const WebAsset* asset = FindWebAsset(path.empty() ? "index.html" : path);
        if (!asset)
            return SendError(res, 404, "not found");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob: data:; "
                       "style-src 'self'; script-src 'self'; connect-src 'self'");
        std::string content(reinterpret_cast<const char*>(asset->data), asset->size);
        if (std::string_view(asset->name) == "index.html")
            for (size_t at; (at = content.find("__TOKEN__")) != std::string::npos;)
                content.replace(at, 9, token_);
        res.set_content(content, asset->type);
    }

    void Upload(const httplib::Request& req, httplib::Response& res)
    {
        if (req.body.empty())
            return SendError(res, 400, "the upload is empty");
        const fs::path work = session_.NewWorkFolder();
        {
            std::ofstream out(work / "upload", std::ios::binary);
            out.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
            if (!out)
                return SendError(res, 500, "cannot store the upload");
        }
        const int id = session_.ReserveImage();
        const JobOutcome done = session_.RunJob({{"action", "import"},
                                                 {"input", (work / "upload").string()},
                                                 {"image", session_.ImagePaths(id)}},
                                                work);
        std::error_code ec;
        fs::remove(work / "upload", ec);
        if (!done.outcome.value("ok", false))
            return SendError(res, 422, done.Error());
        StoredImage image;
        image.id = id;
        image.label = req.get_param_value("name").substr(0, 200);
        if (image.label.empty())
            image.label = "image " + std::to_string(id);
        image.info = done.outcome.value("info", json::object());
        session_.AddImage(image);
        SendJson(res, ToJson(image), 201);
    }

    void ImageData(const httplib::Request& req, httplib::Response& res)
    {
        const int id = NumberIn(req);
        if (!session_.Image(id))
            return SendError(res, 404, "no such image");
        const bool preview = req.matches[2].str() == "preview";
        const auto content = ReadFile(session_.ImageFile(id, preview ? ".png" : ".raw"));
        if (!content)
            return SendError(res, 404, "the image's data is gone");
        res.set_content(*content, preview ? "image/png" : "application/octet-stream");
    }

    void Download(const httplib::Request& req, httplib::Response& res)
    {
        const auto image = session_.Image(NumberIn(req));
        if (!image)
            return SendError(res, 404, "no such image");
        const std::string format = req.has_param("format") ? req.get_param_value("format") : "png";
        if (std::find(std::begin(kFormats), std::end(kFormats), format) == std::end(kFormats))
            return SendError(res, 400, "unknown format '" + format + "'");
        const fs::path work = session_.NewWorkFolder();
        const fs::path output = work / ("image." + format);
        const JobOutcome done =
            session_.RunJob({{"action", "export"},
                             {"input", session_.ImageFile(image->id, ".tif").string()},
                             {"output", output.string()}},
                            work);
        const auto content = done.outcome.value("ok", false) ? ReadFile(output) : std::nullopt;
        std::error_code ec;
        fs::remove_all(work, ec);
        if (!content)
            return SendError(res, 422, done.Error());
        const std::string name = SafeFileStem(image->label) + "." + format;
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        res.set_content(*content, "application/octet-stream");
    }

    void Submit(const httplib::Request& req, httplib::Response& res)
    {
        json body;
        try {
            body = json::parse(req.body);
        } catch (const std::exception&) {
            return SendError(res, 400, "the request is not JSON");
        }
        if (!body.is_object() || !body.contains("plugin") || !body["plugin"].is_string() ||
            !body.contains("image") || !body["image"].is_number_integer())
            return SendError(res, 400, "a run needs \"plugin\" (a name) and \"image\" (a number)");
        RunRequest request;
        request.plugin = body["plugin"].get<std::string>();
        request.image = body["image"].get<int>();
        if (!session_.Module(request.plugin))
            return SendError(res, 404, "no plug-in named '" + request.plugin + "'");
        if (!session_.Image(request.image))
            return SendError(res, 404, "no such image");
        request.params = body.value("params", json::object());
        if (!request.params.is_object())
            return SendError(res, 400, "\"params\" must be an object of names and values");
        for (const auto& [name, value] : request.params.items())
            if (!value.is_number() && !value.is_string())
                return SendError(res, 400, "parameter '" + name + "' must be a number");
        const int id = queue_.Submit(request);
        SendJson(res, *queue_.Describe(id), 202);
    }

    // Each open stream holds one of the server's threads, so their number
    // is bounded well below the pool's size.
    void Events(httplib::Response& res)
    {
        if (++streams_ > kMaxStreams) {
            --streams_;
            return SendError(res, 503, "too many open pages; close some and reload");
        }
        const uint64_t from = events_.Latest();
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, last = from](size_t, httplib::DataSink& sink) mutable {
                if (events_.Closed() || !sink.is_writable()) {
                    sink.done();
                    return true;
                }
                const auto events = events_.WaitAfter(last, std::chrono::seconds(10));
                std::string text = events.empty() ? ": still here\n\n" : "";
                for (const Event& event : events) {
                    text += FormatEvent(event);
                    last = event.sequence;
                }
                return sink.write(text.data(), text.size());
            },
            [this](bool) { --streams_; });
    }

    static constexpr int kMaxStreams = 16;
    const ServerSettings& settings_;
    std::string token_;
    std::atomic<int> streams_{0};
    EventHub events_;
    Session session_;
    RunQueue queue_;
    httplib::Server http_;
};

// SIGINT and SIGTERM go to the stopping thread only; children get them
// unblocked again when spawned.
void BlockStopSignals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::string MakeToken()
{
    unsigned char bytes[16];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        throw std::runtime_error("cannot read /dev/urandom for the session token");
    std::string token;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        token += hex;
    }
    return token;
}

bool TokenMatches(const std::string& given, const std::string& token)
{
    unsigned difference = given.size() != token.size();
    for (size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                      static_cast<unsigned char>(token[i]);
    return difference == 0;
}

std::string SafeFileStem(const std::string& label)
{
    std::string stem = fs::path(label).stem().string();
    std::string out;
    for (char c : stem)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')
            out += c;
    while (!out.empty() && out.front() == '.')
        out.erase(0, 1);
    return out.empty() ? "image" : out.substr(0, 80);
}

int RunServer(const ServerSettings& settings)
{
    BlockStopSignals();
    try {
        Server server(settings);
        return server.Serve();
    } catch (const std::exception& e) {
        std::cerr << "filterhost: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace filterhost::serve
