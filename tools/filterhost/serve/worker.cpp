// The child side of `filterhost serve` (see worker.h).
#include "worker.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "host.h"
#include "image_file.h"
#include "parameters.h"
#include "platform.h"
#include "plugin_description.h"

namespace filterhost::serve {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kExitHostError = 1;
constexpr int kExitPluginFailed = 2;
constexpr int kExitCancelled = 130;

std::atomic<bool> gCancel{false};

extern "C" void OnWorkerInterrupt(int)
{
    gCancel = true;
}

void Say(const std::string& line)
{
    std::cout << line << '\n' << std::flush;
}

std::string LineBreaks(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', '\n');
    return text;
}

uint8_t Clamp8(double v)
{
    if (!(v > 0))
        return 0;
    return v >= 255 ? 255 : static_cast<uint8_t>(v + 0.5);
}

// One sample on a 0..255 scale, whatever the depth.
double Sample255(const host::Image& image, int32_t x, int32_t y, int plane)
{
    switch (image.depth) {
    case 8:
        return image.U8(x, y, plane);
    case 16:
        return image.U16(x, y, plane) * 255.0 / 32768.0;
    default:
        return static_cast<double>(image.F32(x, y, plane)) * 255.0;
    }
}

double SrgbGamma(double linear)
{
    linear = std::clamp(linear, 0.0, 1.0);
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

// CIELab (L on 0..255, a and b offset by 128) to display sRGB, D65 white.
void LabToRgb(double l255, double a255, double b255, uint8_t* rgb)
{
    const double l = l255 * 100.0 / 255.0, a = a255 - 128.0, b = b255 - 128.0;
    const double fy = (l + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
    auto inverse = [](double t) {
        return t > 6.0 / 29 ? t * t * t : 3 * 36.0 / 841 * (t - 4.0 / 29);
    };
    const double x = 0.95047 * inverse(fx), yy = inverse(fy), z = 1.08883 * inverse(fz);
    rgb[0] = Clamp8(255 * SrgbGamma(3.2406 * x - 1.5372 * yy - 0.4986 * z));
    rgb[1] = Clamp8(255 * SrgbGamma(-0.9689 * x + 1.8758 * yy + 0.0415 * z));
    rgb[2] = Clamp8(255 * SrgbGamma(0.0557 * x - 0.2040 * yy + 1.0570 * z));
}

bool IsLab(const host::Image& image)
{
    return image.mode == plugInModeLabColor || image.mode == plugInModeLab48;
}

// An 8-bit grey or RGB picture of the image for the browser to show.
host::Image Preview(const host::Image& image)
{
    const bool grey = image.planes == 1;
    host::Image out = host::Image::Make(image.width, image.height,
                                        grey ? plugInModeGrayScale : plugInModeRGBColor, 8);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            if (IsLab(image)) {
                LabToRgb(Sample255(image, x, y, 0), Sample255(image, x, y, 1),
                         Sample255(image, x, y, 2), &out.U8(x, y, 0));
                continue;
            }
            for (int p = 0; p < image.planes; ++p)
                out.U8(x, y, p) = Clamp8(Sample255(image, x, y, p));
        }
    return out;
}

json ImageInfo(const host::Image& image)
{
    return {{"width", image.width},   {"height", image.height},
            {"mode", image.mode},     {"depth", image.depth},
            {"planes", image.planes}, {"kind", host::ModeName(image.mode, image.depth)}};
}

// Stores an image as the job's TIFF, preview PNG and raw samples.
json StoreImage(const host::Image& image, const json& paths)
{
    Say("phase storing the image");
    host::WriteImageFile(paths.at("tiff").get<std::string>(), image);
    host::WriteImageFile(paths.at("preview").get<std::string>(), Preview(image));
    std::ofstream raw(paths.at("raw").get<std::string>(), std::ios::binary | std::ios::trunc);
    raw.write(reinterpret_cast<const char*>(image.pixels.data()),
              static_cast<std::streamsize>(image.pixels.size()));
    raw.close();
    if (!raw)
        throw std::runtime_error("cannot write the image's samples");
    return ImageInfo(image);
}

host::Image ReadInput(const json& job)
{
    Say("phase reading the image");
    return host::ReadImageFile(job.at("input").get<std::string>());
}

int Import(const json& job, json& outcome)
{
    outcome["info"] = StoreImage(ReadInput(job), job.at("image"));
    return 0;
}

int Export(const json& job, json& outcome)
{
    const host::Image image = ReadInput(job);
    const fs::path output = job.at("output").get<std::string>();
    if (auto refusal = host::CheckWritable(output, image)) {
        outcome["error"] = *refusal;
        return kExitHostError;
    }
    Say("phase writing the file");
    host::WriteImageFile(output, image);
    return 0;
}

int List(const json& job, json& outcome)
{
    json plugins = json::array();
    for (const auto& [name, path] : job.at("modules").items()) {
        json entry = {{"name", name}};
        try {
            const fs::path modulePath = path.get<std::string>();
            host::Module module(modulePath);
            entry["about"] = LineBreaks(host::AboutText(module));
            entry["description"] = DescribeModule(modulePath);
        } catch (const std::exception& e) {
            entry["error"] = e.what();
        }
        plugins.push_back(entry);
    }
    outcome["plugins"] = plugins;
    return 0;
}

int Filter(const json& job, json& outcome)
{
    const fs::path modulePath = job.at("module").get<std::string>();
    const fs::path prefs = job.at("prefs").get<std::string>();
    const fs::path desktop = job.at("desktop").get<std::string>();
    host::Image input = ReadInput(job);
    // A plug-in is run only on the kinds of image it is offered for, as
    // `filterhost run` does.
    if (const auto description = host::LoadPluginDescription(modulePath))
        if (!host::OffersMode(*description, input)) {
            outcome["error"] = description->name + " does not take " +
                               host::ModeName(input.mode, input.depth) + " images; it takes " +
                               host::OfferedModesText(*description);
            return kExitHostError;
        }
    Say("phase loading the plug-in");
    host::Module module(modulePath);
    if (auto refusal = WriteParameters(modulePath, desktop, job.value("params", json::object()))) {
        outcome["error"] = *refusal;
        return kExitHostError;
    }
    host::ScopedFolder prefsFolder(kPreferencesFolderType, prefs);
    host::ScopedFolder desktopFolder(kDesktopFolderType, desktop);

    host::RunOptions options;
    options.cancelRequested = [] { return gCancel.load(); };
    options.onProgress = [](int32_t done, int32_t total) {
        Say("progress " + std::to_string(done) + " " + std::to_string(total));
    };
    options.onMessage = [](const std::string& text) {
        Say("message " + json(LineBreaks(text)).dump());
    };
    Say("phase running " + module.Name());
    host::RunReport report = host::RunFilter(module, input, options);

    json messages = json::array();
    for (const auto& text : report.messages)
        messages.push_back(LineBreaks(text));
    outcome["messages"] = messages;
    outcome["result"] = report.result;
    outcome["cancelled"] = report.cancelled;
    if (report.result != 0)
        return gCancel ? kExitCancelled : kExitPluginFailed;
    outcome["info"] = StoreImage(report.output, job.at("image"));
    return 0;
}

int Dispatch(const json& job, json& outcome)
{
    const std::string action = job.at("action").get<std::string>();
    if (action == "import")
        return Import(job, outcome);
    if (action == "export")
        return Export(job, outcome);
    if (action == "list")
        return List(job, outcome);
    if (action == "run")
        return Filter(job, outcome);
    outcome["error"] = "unknown job '" + action + "'";
    return kExitHostError;
}

void WriteOutcome(const fs::path& path, const json& outcome)
{
    const fs::path partial = path.string() + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << outcome.dump() << '\n';
    }
    std::error_code ec;
    fs::rename(partial, path, ec);
}

}  // namespace

int RunWorkerJob(const fs::path& jobFile)
{
    struct sigaction action {};
    action.sa_handler = OnWorkerInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    json job, outcome = {{"ok", false}};
    int status = kExitHostError;
    try {
        std::ifstream in(jobFile, std::ios::binary);
        job = json::parse(in);
        status = Dispatch(job, outcome);
    } catch (const std::exception& e) {
        outcome["error"] = e.what();
        status = kExitHostError;
    }
    outcome["ok"] = status == 0;
    if (job.is_object() && job.contains("result"))
        WriteOutcome(job["result"].get<std::string>(), outcome);
    return status;
}

}  // namespace filterhost::serve
