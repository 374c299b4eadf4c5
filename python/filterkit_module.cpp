// The Python module `filterkit`: the filter plug-ins on numpy arrays,
// through the host library (the same loader, FilterRecord service and image
// files as filterhost).
//
// Runs are serialised: the plug-in modules share one platform layer whose
// folders, message handler and temporary-memory accounting are process-wide,
// and each module keeps its run state in globals. A run holds one process
// lock and releases the GIL, so other Python threads go on meanwhile;
// parallel filtering is done with processes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "array_image.h"
#include "host.h"
#include "image_file.h"
#include "platform.h"
#include "plugin_lookup.h"
#include "plugin_params.h"
#include "run_result.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace filterkit {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// ---- Serialised access to the modules ------------------------------------

std::mutex& RunMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Modules stay loaded once used, as in an editor, so repeated runs skip the
// loading. Call with RunMutex held.
const host::Module& LoadedModule(const fs::path& path)
{
    static std::map<fs::path, std::unique_ptr<host::Module>> modules;
    auto& slot = modules[fs::absolute(path)];
    if (!slot)
        slot = std::make_unique<host::Module>(path);
    return *slot;
}

// ---- Folders, as filterhost finds them ----------------------------------

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

fs::path PreferencesFolder(const std::optional<fs::path>& given)
{
    if (given && !given->empty())
        return *given;
    if (auto env = Environment("FILTERHOST_PREFS_DIR"); !env.empty())
        return env;
    if (auto config = Environment("XDG_CONFIG_HOME"); !config.empty())
        return fs::path(config) / "filterhost";
    const std::string home = Environment("HOME");
    if (home.empty())
        throw py::value_error("no Preferences folder: pass prefs_dir or set HOME");
    return fs::path(home) / ".config" / "filterhost";
}

fs::path DesktopFolder(const std::optional<fs::path>& given)
{
    if (given && !given->empty())
        return *given;
    if (auto env = Environment("FILTERHOST_DESKTOP_DIR"); !env.empty())
        return env;
    if (auto desktop = Environment("XDG_DESKTOP_DIR"); !desktop.empty())
        return desktop;
    const std::string home = Environment("HOME");
    return home.empty() ? fs::path() : fs::path(home) / "Desktop";
}

void MakePreferencesFolder(const fs::path& prefs)
{
    std::error_code ec;
    fs::create_directories(prefs, ec);
    if (ec || !fs::is_directory(prefs))
        throw py::value_error("cannot make the Preferences folder '" + prefs.string() +
                              "': " + (ec ? ec.message() : "not a folder"));
}

// ---- Python callbacks during a run -----------------------------------------

// Calls the user's progress and cancel functions with the GIL taken, and
// checks for Ctrl-C now and then. An exception from either, or a pending
// KeyboardInterrupt, cancels the run at the next cancel test; it is raised
// once the run is over, so no exception crosses the plug-in.
class Callbacks {
public:
    Callbacks(py::object progress, py::object cancel)
        : progress_(std::move(progress)), cancel_(std::move(cancel))
    {}

    void Install(host::RunOptions& options)
    {
        if (!progress_.is_none())
            options.onProgress = [this](int32_t done, int32_t total) { Progress(done, total); };
        options.cancelRequested = [this] { return CancelRequested(); };
    }

    // Raises what a callback raised, if anything. Call with the GIL held.
    void RaiseFailure()
    {
        if (!failure_)
            return;
        py::error_already_set failure = std::move(*failure_);
        failure_.reset();
        throw failure;
    }

private:
    void Progress(int32_t done, int32_t total)
    {
        if (failure_)
            return;
        py::gil_scoped_acquire gil;
        try {
            progress_(done, total);
        } catch (py::error_already_set& e) {
            failure_.emplace(std::move(e));
        }
    }

    bool CancelRequested()
    {
        if (failure_)
            return true;
        const auto now = Clock::now();
        const bool checkSignals = now - lastSignalCheck_ > std::chrono::milliseconds(50);
        if (cancel_.is_none() && !checkSignals)
            return false;
        py::gil_scoped_acquire gil;
        try {
            if (!cancel_.is_none() && py::bool_(cancel_()))
                return true;
        } catch (py::error_already_set& e) {
            failure_.emplace(std::move(e));
            return true;
        }
        if (checkSignals) {
            lastSignalCheck_ = now;
            if (PyErr_CheckSignals() != 0) {
                failure_.emplace();
                return true;
            }
        }
        return false;
    }

    py::object progress_, cancel_;
    std::optional<py::error_already_set> failure_;
    Clock::time_point lastSignalCheck_ = Clock::now();
};

// ---- Errors -------------------------------------------------------------

PyObject* gPluginError = nullptr;
PyObject* gCancelled = nullptr;

[[noreturn]] void RaisePluginError(const RunResult& result)
{
    PyObject* type = result.cancelled && result.code == userCanceledErr ? gCancelled : gPluginError;
    py::object error = py::reinterpret_borrow<py::object>(type)(FailureText(result));
    error.attr("result") = py::cast(result);
    error.attr("code") = result.code;
    error.attr("messages") = py::cast(result.messages);
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

// ---- run -------------------------------------------------------------------

std::string Linebreaks(std::string text)
{
    for (char& c : text)
        if (c == '\r')
            c = '\n';
    return text;
}

RunResult ResultOf(const fs::path& module, const host::Image& image, host::RunReport& report)
{
    RunResult result;
    result.plugin = module.stem().string();
    result.code = report.result;
    for (auto& message : report.messages)
        result.messages.push_back(Linebreaks(std::move(message)));
    result.progress = std::move(report.progress);
    result.cancelled = report.cancelled;
    result.width = image.width;
    result.height = image.height;
    result.mode = image.mode;
    result.depth = image.depth;
    return result;
}

struct Folders {
    fs::path prefs, desktop;
};

host::RunReport RunUnlocked(const fs::path& path, const host::Image& image, const Folders& folders,
                            const host::RunOptions& options, Timings& timings)
{
    py::gil_scoped_release release;
    std::lock_guard lock(RunMutex());
    const host::Module& module = LoadedModule(path);
    host::ScopedFolder prefs(kPreferencesFolderType, folders.prefs);
    std::optional<host::ScopedFolder> desktop;
    if (!folders.desktop.empty())
        desktop.emplace(kDesktopFolderType, folders.desktop);
    const auto start = Clock::now();
    const double startCpu = ThreadCpuSeconds();
    host::RunReport report = host::RunFilter(module, image, options);
    timings.filterCpu = ThreadCpuSeconds() - startCpu;
    timings.filter = Seconds(start, Clock::now());
    return report;
}

py::tuple Run(const std::string& name, const py::object& array, bool lab,
              const std::optional<fs::path>& prefsDir, const std::optional<fs::path>& desktopDir,
              const py::object& params, py::object progress, py::object cancel)
{
    const auto start = Clock::now();
    const double startCpu = ThreadCpuSeconds();
    const fs::path path = ResolvePlugin(name);
    std::optional<ParameterDesktop> parameters;
    if (!params.is_none()) {
        if (desktopDir)
            throw py::value_error("give params or desktop_dir, not both: the parameters are "
                                  "written into a Desktop folder of their own");
        if (!py::isinstance<py::dict>(params))
            throw py::type_error("params must be a dict of parameter names to numbers");
        parameters.emplace(path, py::reinterpret_borrow<py::dict>(params));
    }
    Timings timings;
    const auto convertStart = Clock::now();
    const host::Image image = ImageFromArray(array, lab);
    timings.convertIn = Seconds(convertStart, Clock::now());
    CheckOffersMode(path, image);
    const Folders folders{PreferencesFolder(prefsDir),
                          parameters ? parameters->Folder() : DesktopFolder(desktopDir)};
    MakePreferencesFolder(folders.prefs);

    Callbacks callbacks(std::move(progress), std::move(cancel));
    host::RunOptions options;
    callbacks.Install(options);
    host::RunReport report = RunUnlocked(path, image, folders, options, timings);
    callbacks.RaiseFailure();

    RunResult result = ResultOf(path, image, report);
    if (parameters)
        result.parameters = parameters->Values();
    if (result.code != 0) {
        result.timings = timings;
        result.timings.total = Seconds(start, Clock::now());
        result.timings.totalCpu = ThreadCpuSeconds() - startCpu;
        RaisePluginError(result);
    }
    const auto outStart = Clock::now();
    py::array output = ArrayFromImage(std::move(report.output));
    const auto end = Clock::now();
    timings.convertOut = Seconds(outStart, end);
    timings.total = Seconds(start, end);
    timings.totalCpu = ThreadCpuSeconds() - startCpu;
    result.timings = timings;
    return py::make_tuple(std::move(output), std::move(result));
}

// ---- plug-ins and image files ------------------------------------------

std::vector<std::string> Plugins()
{
    std::vector<std::string> names;
    for (const auto& [name, path] : FindPlugins())
        names.push_back(name);
    return names;
}

py::dict About(const std::string& name)
{
    const fs::path path = ResolvePlugin(name);
    std::string text;
    {
        py::gil_scoped_release release;
        std::lock_guard lock(RunMutex());
        text = Linebreaks(host::AboutText(LoadedModule(path)));
    }
    py::dict info;
    info["name"] = path.stem().string();
    info["path"] = fs::absolute(path).string();
    info["about"] = text;
    info["description"] = DescriptionDict(path);
    return info;
}

py::object ReadImage(const fs::path& path, bool withLab)
{
    host::Image image;
    {
        py::gil_scoped_release release;
        image = host::ReadImageFile(path);
    }
    const bool lab = IsLab(image);
    py::array array = ArrayFromImage(std::move(image));
    if (withLab)
        return py::make_tuple(std::move(array), lab);
    return array;
}

void WriteImage(const fs::path& path, const py::object& array, bool lab)
{
    const host::Image image = ImageFromArray(array, lab);
    py::gil_scoped_release release;
    host::WriteImageFile(path, image);
}

// ---- Binding -------------------------------------------------------------

py::dict TimingsDict(const Timings& t)
{
    py::dict d;
    d["convert_in"] = t.convertIn;
    d["filter"] = t.filter;
    d["convert_out"] = t.convertOut;
    d["total"] = t.total;
    d["overhead"] = t.total - t.filter;
    d["filter_cpu"] = t.filterCpu;
    d["total_cpu"] = t.totalCpu;
    return d;
}

std::string Repr(const RunResult& r)
{
    return "RunResult(plugin='" + r.plugin + "', code=" + std::to_string(r.code) +
           ", messages=" + std::to_string(r.messages.size()) +
           ", progress_calls=" + std::to_string(r.progress.size()) +
           (r.cancelled ? ", cancelled" : "") + ")";
}

void BindRunResult(py::module_& m)
{
    py::class_<RunResult>(m, "RunResult", "What a filter run reported besides its image.")
        .def_readonly("plugin", &RunResult::plugin, "The plug-in's name.")
        .def_readonly("code", &RunResult::code, "The plug-in's result code; 0 is success.")
        .def_readonly("messages", &RunResult::messages,
                      "Each message the plug-in showed, line breaks as '\\n'.")
        .def_property_readonly(
            "numbers", [](const RunResult& r) { return NumbersIn(r.messages); },
            "Every decimal number in the messages, in order.")
        .def_readonly("progress", &RunResult::progress,
                      "Each progress report as a (done, total) pair.")
        .def_property_readonly(
            "progress_calls", [](const RunResult& r) { return r.progress.size(); },
            "How many progress reports the plug-in made.")
        .def_readonly("cancelled", &RunResult::cancelled,
                      "Whether a cancel test was answered with 'cancel'.")
        .def_readonly("width", &RunResult::width)
        .def_readonly("height", &RunResult::height)
        .def_readonly("mode", &RunResult::mode, "The image mode number handed to the plug-in.")
        .def_readonly("depth", &RunResult::depth, "Bits per sample: 8, 16 or 32.")
        .def_readonly("parameters", &RunResult::parameters,
                      "The parameters written for the plug-in when params were given, "
                      "defaults included; empty otherwise.")
        .def_property_readonly(
            "timings", [](const RunResult& r) { return TimingsDict(r.timings); },
            "Seconds spent: convert_in, filter, convert_out, total and overhead "
            "(total less filter), and the calling thread's CPU seconds filter_cpu and "
            "total_cpu.")
        .def("__repr__", &Repr);
}

void BindErrors(py::module_& m)
{
    gPluginError = PyErr_NewExceptionWithDoc(
        "filterkit.PluginError",
        "A plug-in returned a non-zero result. Attributes: code, messages, result (RunResult).",
        nullptr, nullptr);
    gCancelled = PyErr_NewExceptionWithDoc(
        "filterkit.Cancelled", "The run was cancelled through cancel() (a PluginError).",
        gPluginError, nullptr);
    m.attr("PluginError") = py::handle(gPluginError);
    m.attr("Cancelled") = py::handle(gCancelled);
}

}  // namespace
}  // namespace filterkit

PYBIND11_MODULE(filterkit, m)
{
    using namespace filterkit;
    using namespace pybind11::literals;
    m.doc() = "Image-analysis filter plug-ins on numpy arrays.";
    BindErrors(m);
    BindRunResult(m);
    m.def("plugins", &Plugins, "The names of every plug-in found, sorted.");
    m.def("plugin_folders", &PluginFolders, "The folders searched for plug-in modules, in order.");
    m.def("about", &About, "name"_a, "A plug-in's name, path, About text and description.");
    m.def("run", &Run, "name"_a, "image"_a, py::kw_only(), "lab"_a = false,
          "prefs_dir"_a = py::none(), "desktop_dir"_a = py::none(), "params"_a = py::none(),
          "progress"_a = py::none(), "cancel"_a = py::none(),
          "Runs a plug-in on a copy of the image; returns (filtered image, RunResult).");
    m.def("read_image", &ReadImage, "path"_a, py::kw_only(), "with_lab"_a = false,
          "Reads a PNG, TIFF or PGM/PPM file into an array.");
    m.def("write_image", &WriteImage, "path"_a, "image"_a, py::kw_only(), "lab"_a = false,
          "Writes an array in the format the file name's extension selects.");
    py::register_exception<host::ImageFileError>(m, "ImageFileError", PyExc_OSError);
}
