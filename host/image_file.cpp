// Image files on disk ⇄ host::Image: the dispatcher. A file is read whole
// into memory (mapped when it is a regular file, read when it is a pipe),
// its format sniffed from its first bytes and handed to the format's reader
// in image_files/. Writing encodes the whole file in memory and then puts
// it in place: beside the target and renamed over it, or straight into a
// FIFO, device or standard output.
#include "image_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "image_files/formats.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using files::ReadFailureText;
using files::WriteFailureText;

bool IsStandardStream(const fs::path& path)
{
    return path == "-";
}

std::string Quoted(const fs::path& path)
{
    std::string text;
    text += '\'';
    text += path.native();
    text += '\'';
    return text;
}

std::string InputName(const fs::path& path)
{
    return IsStandardStream(path) ? std::string("standard input") : Quoted(path);
}

std::string OutputName(const fs::path& path)
{
    return IsStandardStream(path) ? std::string("standard output") : Quoted(path);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// ---------------------------------------------------------------- reading

// A file's bytes: mapped for a regular file, read for anything else.
class FileBytes {
public:
    FileBytes() = default;
    ~FileBytes()
    {
        if (mapped_)
            munmap(mapped_, size_);
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    // Throws the errno text on failure. A pipe is read up to `limit` bytes.
    void Load(int fd, uint64_t limit)
    {
        struct stat info {};
        if (fstat(fd, &info) != 0)
            throw std::runtime_error(std::strerror(errno));
        if (S_ISDIR(info.st_mode))
            throw std::runtime_error("it is a folder");
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            size_ = static_cast<size_t>(info.st_size);
            void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map != MAP_FAILED) {
                mapped_ = map;
                return;
            }
            size_ = 0;
        }
        ReadAll(fd, limit);
    }

    std::span<const uint8_t> Bytes() const
    {
        if (mapped_)
            return {static_cast<const uint8_t*>(mapped_), size_};
        return read_;
    }

private:
    void ReadAll(int fd, uint64_t limit)
    {
        size_t used = 0;
        read_.resize(size_t{1} << 16);
        for (;;) {
            if (used > limit)
                throw std::runtime_error("more data than any image within the pixel limit holds");
            if (used == read_.size())
                read_.resize(read_.size() * 2);
            const ssize_t got = read(fd, read_.data() + used, read_.size() - used);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throw std::runtime_error(std::strerror(errno));
            if (got == 0)
                break;
            used += static_cast<size_t>(got);
        }
        read_.resize(used);
    }

    void* mapped_ = nullptr;
    size_t size_ = 0;
    std::vector<uint8_t> read_;
};

// Only TIFF has pages; asking another format for a later one is refused
// rather than quietly answered with its only image.
void CheckSinglePage(const char* format, const files::ReadContext& context)
{
    if (context.page != 1)
        context.Fail("there is no page " + std::to_string(context.page) + " (a " + format +
                     " holds one image)");
}

ImageFile ReadSniffed(std::span<const uint8_t> bytes, const files::ReadContext& context)
{
    if (files::IsTiff(bytes))
        return files::ReadTiff(bytes, context);
    if (files::IsPng(bytes)) {
        CheckSinglePage("PNG", context);
        return files::ReadPng(bytes, context);
    }
    if (files::IsJpeg(bytes)) {
        CheckSinglePage("JPEG", context);
        return files::ReadJpeg(bytes, context);
    }
    if (files::IsPnm(bytes)) {
        CheckSinglePage("PBM, PGM or PPM file", context);
        return files::ReadPnm(bytes, context);
    }
    if (bytes.empty())
        context.Fail("the file is empty");
    context.Fail("not a PNG, TIFF, JPEG, PBM, PGM or PPM image");
}

ImageFile ReadNamed(std::span<const uint8_t> bytes, const std::string& name,
                    const ReadOptions& options)
{
    files::ReadContext context;
    context.name = name;
    context.page = options.page;
    context.maxPixels = options.maxPixels ? options.maxPixels : DefaultMaxPixels();
    try {
        return ReadSniffed(bytes, context);
    } catch (const std::bad_alloc&) {
        context.Fail("the image is too large for the memory available");
    } catch (const std::length_error&) {
        context.Fail("the image is too large for the memory available");
    }
}

// ---------------------------------------------------------------- writing

struct Target {
    ImageFileFormat format;
    std::string extension;  // lower case, with the dot; empty for --format
};

std::optional<Target> TargetFor(const fs::path& path, const WriteOptions& options)
{
    if (options.format)
        return Target{*options.format, ""};
    if (IsStandardStream(path))
        return std::nullopt;
    if (auto format = FormatForPath(path))
        return Target{*format, Lower(path.extension().string())};
    return std::nullopt;
}

// The file a path names once symbolic links are followed; the path itself
// when it is not a link.
fs::path FollowLinks(fs::path path)
{
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec)))
            return path;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec)
            return path;
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

// A FIFO, device or socket: written in place, never replaced.
bool IsSpecialFile(const fs::path& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool SupportedMode(int mode, int depth)
{
    switch (mode) {
    case plugInModeGrayScale:
        return depth == 8 || depth == 32;
    case plugInModeRGBColor:
    case plugInModeLabColor:
        return depth == 8;
    case plugInModeGray16:
    case plugInModeRGB48:
    case plugInModeLab48:
        return depth == 16;
    case plugInModeRGB96:
    case plugInModeGray32:
        return depth == 32;
    default:
        return false;
    }
}

bool IsLab(int mode)
{
    return mode == plugInModeLabColor || mode == plugInModeLab48;
}
bool IsGrey(int mode)
{
    return mode == plugInModeGrayScale || mode == plugInModeGray16 || mode == plugInModeGray32;
}

// Why `format` cannot hold the image, without the file's name.
std::optional<std::string> FormatRefusal(const Target& target, const Image& image,
                                         const WriteOptions& options)
{
    const bool isFloat = image.depth == 32;
    const bool lab = IsLab(image.mode);
    switch (target.format) {
    case ImageFileFormat::kPng:
    case ImageFileFormat::kPnm: {
        const std::string what = target.format == ImageFileFormat::kPng ? "PNG" : "PGM/PPM";
        if (isFloat)
            return what + " cannot hold 32-bit float samples (use .tif)";
        if (lab)
            return what + " cannot hold a Lab image (use .tif)";
        if (target.extension == ".pgm" && !IsGrey(image.mode))
            return std::string("a .pgm file holds grey images only (use .ppm or .pnm)");
        if (target.extension == ".ppm" && IsGrey(image.mode))
            return std::string("a .ppm file holds colour images only (use .pgm or .pnm)");
        if (target.format == ImageFileFormat::kPng)
            return files::CheckPngOptions(options);
        return std::nullopt;
    }
    case ImageFileFormat::kTiff:
        return files::CheckTiffOptions(options, image);
    case ImageFileFormat::kJpeg:
        return files::CheckJpegOptions(options, image);
    case ImageFileFormat::kPbm:
        if (lab)
            return std::string("PBM cannot hold a Lab image (use .tif)");
        return std::nullopt;
    }
    return std::nullopt;
}

// Why a 1-bit output cannot hold this image: checked on the image being
// written, since a filter's result may be black and white when its input is
// not.
std::optional<std::string> TwoLevelRefusal(const Target& target, const Image& image,
                                           const WriteOptions& options)
{
    const bool oneBit = target.format == ImageFileFormat::kPbm ||
                        (target.format == ImageFileFormat::kTiff &&
                         files::IsBilevelCompression(options.compression));
    if (!oneBit || files::IsTwoLevel(image))
        return std::nullopt;
    if (target.format == ImageFileFormat::kPbm)
        return std::string("a .pbm file holds black-and-white images only, and this image has "
                           "other values (use .pgm or .png)");
    std::string what(1, '\'');
    what.append(options.compression)
        .append("' compression writes black-and-white images only, and this image has other "
                "values");
    return what;
}

std::optional<std::string> PlaceRefusal(const fs::path& path)
{
    if (IsStandardStream(path) && isatty(STDOUT_FILENO))
        return std::string("it is a terminal; redirect it to a file or a pipe");
    if (IsStandardStream(path))
        return std::nullopt;
    const fs::path target = FollowLinks(path);
    std::error_code ec;
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (!fs::is_directory(folder, ec))
        return "the folder '" + folder.string() + "' does not exist";
    if (fs::is_directory(target, ec))
        return std::string("it is a folder");
    return std::nullopt;
}

void WriteAll(int fd, std::span<const uint8_t> data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            throw std::runtime_error(std::strerror(errno));
        done += static_cast<size_t>(put);
    }
}

// A temporary file beside the target, removed unless committed.
class TemporaryBeside {
public:
    explicit TemporaryBeside(const fs::path& target) : target_(target)
    {
        const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        std::string hidden(1, '.');
        hidden.append(target.filename().string()).append(".XXXXXX");
        std::string pattern = (folder / hidden).string();
        fd_ = mkstemp(pattern.data());
        if (fd_ < 0)
            throw std::runtime_error(std::strerror(errno));
        temp_ = pattern;
        // mkstemp makes the file private; give it the permissions a new file
        // (or the file it replaces) would have.
        struct stat existing {};
        mode_t mode;
        if (stat(target.c_str(), &existing) == 0) {
            mode = existing.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd_, mode);
    }
    ~TemporaryBeside()
    {
        if (fd_ >= 0)
            close(fd_);
        if (!committed_)
            unlink(temp_.c_str());
    }
    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    void Write(std::span<const uint8_t> data)
    {
        WriteAll(fd_, data);
        if (fsync(fd_) != 0)
            throw std::runtime_error(std::strerror(errno));
        if (close(std::exchange(fd_, -1)) != 0)
            throw std::runtime_error(std::strerror(errno));
    }
    void Commit()
    {
        if (std::rename(temp_.c_str(), target_.c_str()) != 0)
            throw std::runtime_error(std::strerror(errno));
        committed_ = true;
    }

private:
    fs::path target_, temp_;
    int fd_ = -1;
    bool committed_ = false;
};

void PutBytes(const fs::path& path, std::span<const uint8_t> data)
{
    if (IsStandardStream(path)) {
        WriteAll(STDOUT_FILENO, data);
        return;
    }
    const fs::path target = FollowLinks(path);
    if (IsSpecialFile(target)) {
        const int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error(std::strerror(errno));
        try {
            WriteAll(fd, data);
        } catch (...) {
            close(fd);
            throw;
        }
        if (close(fd) != 0)
            throw std::runtime_error(std::strerror(errno));
        return;
    }
    TemporaryBeside temp(target);
    temp.Write(data);
    temp.Commit();
}

// The encoder of the format, on an image already checked; encoders throw
// std::runtime_error.
std::vector<uint8_t> Encode(const ImageFile& file, ImageFileFormat format,
                            const WriteOptions& options)
{

    ImageFile kept;
    const ImageFile* source = &file;
    const bool alphaFits = file.alpha && file.alpha->width == file.image.width &&
                           file.alpha->height == file.image.height &&
                           file.alpha->depth == file.image.depth && file.alpha->planes == 1;
    if (file.alpha && !alphaFits) {
        // An alpha channel that does not match the image cannot be written.
        kept.image = file.image;
        kept.metadata = file.metadata;
        kept.alphaPremultiplied = false;
        source = &kept;
    }
    switch (format) {
    case ImageFileFormat::kPng:
        return files::EncodePng(*source, options);
    case ImageFileFormat::kTiff:
        return files::EncodeTiff(*source, options);
    case ImageFileFormat::kJpeg:
        return files::EncodeJpeg(*source, options);
    case ImageFileFormat::kPnm:
        return files::EncodePnm(*source);
    case ImageFileFormat::kPbm:
        return files::EncodePbm(*source);
    }
    return {};
}

}  // namespace

uint64_t DefaultMaxPixels()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    constexpr uint64_t kFloor = uint64_t{1} << 26;  // 64 megapixels
    if (pages <= 0 || pageSize <= 0)
        return kFloor;
    return std::max(kFloor, static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 16);
}

std::optional<ImageFileFormat> FormatForName(const std::string& name)
{
    const std::string n = Lower(name);
    if (n == "png")
        return ImageFileFormat::kPng;
    if (n == "tif" || n == "tiff")
        return ImageFileFormat::kTiff;
    if (n == "pgm" || n == "ppm" || n == "pnm")
        return ImageFileFormat::kPnm;
    if (n == "pbm")
        return ImageFileFormat::kPbm;
    if (n == "jpg" || n == "jpeg")
        return ImageFileFormat::kJpeg;
    return std::nullopt;
}

std::optional<ImageFileFormat> FormatForPath(const fs::path& path)
{
    const std::string ext = path.extension().string();
    if (ext.size() < 2)
        return std::nullopt;
    return FormatForName(ext.substr(1));
}

ImageFile ReadImageMemory(std::span<const uint8_t> bytes, const std::string& name,
                          const ReadOptions& options)
{
    return ReadNamed(bytes, name, options);
}

ImageFile ReadImageFile(const fs::path& path, const ReadOptions& options)
{
    const std::string name = InputName(path);
    // No file holding an image within the limit is larger than 16 bytes a
    // pixel (RGBA float) plus room for metadata.
    const uint64_t maxPixels = options.maxPixels ? options.maxPixels : DefaultMaxPixels();
    const uint64_t limit =
        files::Multiply(maxPixels, 16).value_or(UINT64_MAX - (64 << 20)) + (uint64_t{64} << 20);
    FileBytes bytes;
    try {
        if (IsStandardStream(path)) {
            if (isatty(STDIN_FILENO))
                throw std::runtime_error("it is a terminal; pipe or redirect an image into it");
            bytes.Load(STDIN_FILENO, limit);
        } else {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                throw std::runtime_error(std::strerror(errno));
            try {
                bytes.Load(fd, limit);
            } catch (...) {
                close(fd);
                throw;
            }
            close(fd);
        }
    } catch (const std::bad_alloc&) {
        throw ImageFileError(
            ReadFailureText(name, "the file is too large for the memory available"));
    } catch (const std::runtime_error& e) {
        throw ImageFileError(ReadFailureText(name, e.what()));
    }
    return ReadNamed(bytes.Bytes(), name, options);
}

Image ReadImageFile(const fs::path& path)
{
    return ReadImageFile(path, ReadOptions{}).image;
}

std::optional<std::string> CheckWritable(const fs::path& path, const Image& image,
                                         const WriteOptions& options)
{
    const std::string name = OutputName(path);
    const auto target = TargetFor(path, options);
    if (!target && IsStandardStream(path))
        return WriteFailureText(name, "say which format to write (--format)");
    if (!target) {
        std::string what = "unknown file type '";
        what.append(path.extension().string())
            .append("' (use .png, .tif, .tiff, .jpg, .jpeg, .pgm, .ppm, .pnm or .pbm)");
        return WriteFailureText(name, what);
    }
    if (!SupportedMode(image.mode, image.depth))
        return WriteFailureText(name, "no file format here holds a " +
                                          ModeName(image.mode, image.depth) + " image");
    if (image.width <= 0 || image.height <= 0)
        return WriteFailureText(name, "the image is empty");
    if (auto refusal = FormatRefusal(*target, image, options))
        return WriteFailureText(name, *refusal);
    if (auto refusal = PlaceRefusal(path))
        return WriteFailureText(name, *refusal);
    return std::nullopt;
}

std::optional<std::string> CheckWritable(const fs::path& path, const Image& image)
{
    return CheckWritable(path, image, WriteOptions{});
}

std::vector<uint8_t> EncodeImage(const ImageFile& file, ImageFileFormat format,
                                 const WriteOptions& options)
{
    const Target target{format, ""};
    const Image& image = file.image;
    std::optional<std::string> refusal;
    if (!SupportedMode(image.mode, image.depth) || image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != image.RowBytes() * static_cast<size_t>(image.height))
        refusal = "the image is empty or not a " + ModeName(image.mode, image.depth) + " image";
    if (!refusal)
        refusal = FormatRefusal(target, image, options);
    if (!refusal)
        refusal = TwoLevelRefusal(target, image, options);
    if (refusal)
        throw ImageFileError("cannot encode the image: " + *refusal);
    try {
        return Encode(file, format, options);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw ImageFileError(std::string("cannot encode the image: ") + e.what());
    }
}

void WriteImageFile(const fs::path& path, const ImageFile& file, const WriteOptions& options)
{
    if (auto refusal = CheckWritable(path, file.image, options))
        throw ImageFileError(*refusal);
    const std::string name = OutputName(path);
    const Target target = *TargetFor(path, options);
    if (auto refusal = TwoLevelRefusal(target, file.image, options))
        throw ImageFileError(WriteFailureText(name, *refusal));
    const Image& image = file.image;
    if (image.pixels.size() != image.RowBytes() * static_cast<size_t>(image.height))
        throw ImageFileError(WriteFailureText(
            name, "the image holds " + std::to_string(image.pixels.size()) + " bytes, not the " +
                      std::to_string(image.RowBytes() * static_cast<size_t>(image.height)) +
                      " its size needs"));
    try {
        const std::vector<uint8_t> bytes = Encode(file, target.format, options);
        PutBytes(path, bytes);
    } catch (const ImageFileError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw ImageFileError(WriteFailureText(name, "out of memory"));
    } catch (const std::exception& e) {
        throw ImageFileError(WriteFailureText(name, e.what()));
    }
}

void WriteImageFile(const fs::path& path, const Image& image)
{
    ImageFile file;
    file.image = image;
    WriteImageFile(path, file, WriteOptions{});
}

}  // namespace host
