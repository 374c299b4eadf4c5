// The result file goes through a private folder so that a signal can be
// answered by removing that folder whole, whatever temporary names the
// image writer used inside it; signals are held meanwhile, so the removal
// runs as ordinary code rather than in a signal handler.
#include "safe_output.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>

#include "image_file.h"

namespace filterhost {
namespace fs = std::filesystem;

namespace {

constexpr int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the termination signals and ignores SIGXFSZ while alive.
class SignalShield {
public:
    SignalShield()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : kHeldSignals)
            sigaddset(&held, signal);
        sigprocmask(SIG_BLOCK, &held, &previousMask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &previousXfsz_);
    }
    ~SignalShield()
    {
        sigaction(SIGXFSZ, &previousXfsz_, nullptr);
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    SignalShield(const SignalShield&) = delete;
    SignalShield& operator=(const SignalShield&) = delete;

    // The first held signal that has arrived, taken off the pending set, or 0.
    int TakeArrived() const
    {
        sigset_t pending;
        sigpending(&pending);
        for (int signal : kHeldSignals) {
            if (sigismember(&pending, signal)) {
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, signal);
                int taken = 0;
                sigwait(&one, &taken);
                return taken;
            }
        }
        return 0;
    }

private:
    sigset_t previousMask_{};
    struct sigaction previousXfsz_ {};
};

// A private folder beside the target, removed with whatever is in it.
class PrivateFolder {
public:
    explicit PrivateFolder(const fs::path& target)
    {
        const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        std::string pattern =
            (folder / ("." + target.filename().string() + ".filterhost-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw host::ImageFileError("cannot write '" + target.string() +
                                       "': " + std::strerror(errno));
        path_ = pattern;
    }
    ~PrivateFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// Moves the finished file over the target, keeping the mode of the file it
// replaces.
void MoveOver(const fs::path& finished, const fs::path& target)
{
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0)
        chmod(finished.c_str(), existing.st_mode & 07777);
    if (std::rename(finished.c_str(), target.c_str()) != 0)
        throw host::ImageFileError("cannot write '" + target.string() +
                                   "': " + std::strerror(errno));
}

// The writer's message about the file in the private folder, about the
// target instead.
std::string NameTheTarget(std::string text, const fs::path& inside, const fs::path& target)
{
    const std::string from = inside.string(), to = target.string();
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// True when the target is written in place rather than replaced: standard
// output, or an existing FIFO, device or other non-regular file.
bool WrittenStraightThrough(const fs::path& target)
{
    if (target == "-")
        return true;
    std::error_code ec;
    const auto status = fs::status(target, ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status);
}

// The file a chain of symbolic links finally points to, whether or not it
// exists yet; the target itself when it is no link.
fs::path FileToReplace(const fs::path& target)
{
    constexpr int kMostLinks = 40;  // as the kernel allows before ELOOP
    fs::path path = target;
    std::error_code ec;
    for (int hop = 0; hop < kMostLinks && fs::is_symlink(fs::symlink_status(path, ec)); ++hop) {
        const fs::path next = fs::read_symlink(path, ec);
        if (ec)
            return path;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return path;
}

}  // namespace

int WriteOutputShielded(const fs::path& target, const host::ImageFile& file,
                        const host::WriteOptions& options)
{
    SignalShield shield;
    if (WrittenStraightThrough(target)) {
        host::WriteImageFile(target, file, options);
        return shield.TakeArrived();
    }
    const fs::path replaced = FileToReplace(target);
    {
        PrivateFolder folder(replaced);
        // The name the user gave chooses the format, whatever the link
        // points to.
        const fs::path inside = folder.Path() / target.filename();
        try {
            host::WriteImageFile(inside, file, options);
        } catch (const host::ImageFileError& e) {
            throw host::ImageFileError(NameTheTarget(e.what(), inside, target));
        }
        if (const int signal = shield.TakeArrived())
            return signal;
        MoveOver(inside, replaced);
    }
    // A signal after this point comes too late to undo the write: it is
    // delivered as usual once the shield is gone.
    return 0;
}

bool WriteTextWhole(const fs::path& given, const std::string& text)
{
    std::error_code ec;
    // A link is followed: the file it points to is replaced, the link stays.
    fs::path target = given;
    if (fs::is_symlink(given, ec)) {
        const fs::path resolved = fs::weakly_canonical(given, ec);
        if (!ec)
            target = resolved;
    }
    // A FIFO or a device is written straight through.
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        std::ofstream out(target, std::ios::binary);
        out << text;
        out.close();
        return static_cast<bool>(out);
    }
    const fs::path temp = target.parent_path() / ("." + target.filename().string() + "." +
                                                  std::to_string(getpid()) + ".partial");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

}  // namespace filterhost
