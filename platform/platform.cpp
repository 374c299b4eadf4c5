// Operating-system services on POSIX: folders are directories the host names
// for each folder type, files are file descriptors behind small reference
// numbers, temporary memory is heap blocks behind handles under an optional
// budget, and the modal message dialog hands its text to the host's handler.
//
// Invariants: a folder is found only when the host set it and the directory
// exists (never created here); a file name never leaves its folder (names
// with '/' or of "." / ".." are refused); every reference number handed out
// names one open descriptor until FSClose.
#include "platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<uint32_t, std::string> gFolders;
// Directory IDs are indices into this table plus kFirstDirID; a path keeps its
// ID for the life of the process.
std::vector<std::string> gDirectories;
constexpr int32_t kFirstDirID = 100;

constexpr int kMaxFiles = 32767;
std::map<int16_t, int> gOpenFiles;

int64_t gTempBudget = -1;
int64_t gTempInUse = 0;

PlatformMessageHandler gMessageHandler = nullptr;
void* gMessageContext = nullptr;

struct HandleBlock {
    char* master;  // first member: a Handle points here
    int64_t size;
};

int32_t DirectoryID(const std::string& path)
{
    for (size_t i = 0; i < gDirectories.size(); ++i) {
        if (gDirectories[i] == path)
            return kFirstDirID + static_cast<int32_t>(i);
    }
    gDirectories.push_back(path);
    return kFirstDirID + static_cast<int32_t>(gDirectories.size() - 1);
}

OSErr ErrnoToOSErr(int error)
{
    switch (error) {
    case ENOENT:
        return fnfErr;
    case ENOTDIR:
        return dirNFErr;
    case EEXIST:
        return dupFNErr;
    case ENOSPC:
    case EDQUOT:
        return dskFulErr;
    case EROFS:
        return wPrErr;
    case EACCES:
    case EPERM:
        return permErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENAMETOOLONG:
        return bdNamErr;
    case ENOMEM:
        return memFullErr;
    default:
        return ioErr;
    }
}

// Turns (volume, directory, counted name) into a path, or an error.
OSErr ResolvePath(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, std::string* path)
{
    if (fileName == nullptr)
        return bdNamErr;
    std::string name(reinterpret_cast<const char*>(fileName + 1), fileName[0]);
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) {
        return bdNamErr;
    }
    if (dirID == 0 && (vRefNum == 0 || vRefNum == kPlatformVolume)) {
        // The default folder: the current directory. A name with colons is a
        // path with colons as separators.
        for (char& c : name) {
            if (c == ':')
                c = '/';
        }
        *path = name;
        return noErr;
    }
    if (name.find('/') != std::string::npos)
        return bdNamErr;
    int32_t index = dirID - kFirstDirID;
    if (vRefNum != kPlatformVolume || index < 0 ||
        index >= static_cast<int32_t>(gDirectories.size())) {
        return dirNFErr;
    }
    *path = gDirectories[static_cast<size_t>(index)] + "/" + name;
    return noErr;
}

int DescriptorOf(int16_t refNum)
{
    auto it = gOpenFiles.find(refNum);
    return it == gOpenFiles.end() ? -1 : it->second;
}

void PutCode(int fd, const char* attribute, uint32_t code)
{
    char text[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                    static_cast<char>(code >> 8), static_cast<char>(code)};
    // File systems without user attributes simply do not keep the codes.
    (void)fsetxattr(fd, attribute, text, sizeof text, 0);
}

// Large blocks (whole working images) are asked for on huge pages: a column
// of such an image touches one page per line, which with small pages misses
// the address-translation cache at every line.
constexpr int64_t kHugePage = 2 << 20;

// Released large blocks are kept, up to kKeptBytes in all, and handed out
// again for a request of the same rounded size: a filter that makes the
// same working images run after run then finds its pages already mapped
// instead of having the kernel clear fresh ones every time. Kept blocks are
// not in use, so the budget never counts them. A plain array, so the blocks
// stay reachable (not leaked) until the process ends.
constexpr size_t kKeptBytes = size_t{256} << 20;
constexpr size_t kMostKept = 16;
struct KeptBlock {
    char* block;
    size_t bytes;
};
KeptBlock gKept[kMostKept];
size_t gKeptCount = 0;
size_t gKeptBytes = 0;

void DropKeptBlock(size_t i)
{
    gKeptBytes -= gKept[i].bytes;
    for (size_t k = i + 1; k < gKeptCount; k++)
        gKept[k - 1] = gKept[k];
    gKeptCount--;
}

size_t RoundedSize(int64_t size)
{
    return static_cast<size_t>((size + kHugePage - 1) / kHugePage * kHugePage);
}

char* TakeKeptBlock(size_t rounded)
{
    for (size_t i = 0; i < gKeptCount; i++) {
        if (gKept[i].bytes == rounded) {
            char* block = gKept[i].block;
            DropKeptBlock(i);
            return block;
        }
    }
    return nullptr;
}

char* AllocateBlock(int64_t size)
{
    if (size < 2 * kHugePage)
        return static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    size_t rounded = RoundedSize(size);
    if (char* kept = TakeKeptBlock(rounded))
        return kept;
    void* block = std::aligned_alloc(static_cast<size_t>(kHugePage), rounded);
    if (block != nullptr)
        (void)madvise(block, rounded, MADV_HUGEPAGE);
    return static_cast<char*>(block);
}

// Keeps a large block for reuse, dropping the oldest kept ones to make
// room; small blocks, and large ones beyond the room, are freed.
void ReleaseBlock(char* block, int64_t size)
{
    if (size < 2 * kHugePage) {
        std::free(block);
        return;
    }
    size_t rounded = RoundedSize(size);
    if (rounded > kKeptBytes) {
        std::free(block);
        return;
    }
    while (gKeptCount == kMostKept || gKeptBytes + rounded > kKeptBytes) {
        std::free(gKept[0].block);
        DropKeptBlock(0);
    }
    gKept[gKeptCount++] = {block, rounded};
    gKeptBytes += rounded;
}

}  // namespace

extern "C" {

OSErr FindFolder(int16_t vRefNum, uint32_t folderType, Boolean createFolder, int16_t* foundVRefNum,
                 int32_t* foundDirID)
{
    (void)vRefNum;
    (void)createFolder;  // folders are never created
    auto it = gFolders.find(folderType);
    if (it == gFolders.end())
        return fnfErr;
    struct stat info;
    if (stat(it->second.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return fnfErr;
    if (foundVRefNum != nullptr)
        *foundVRefNum = kPlatformVolume;
    if (foundDirID != nullptr)
        *foundDirID = DirectoryID(it->second);
    return noErr;
}

OSErr HCreate(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, uint32_t creator,
              uint32_t fileType)
{
    std::string path;
    OSErr err = ResolvePath(vRefNum, dirID, fileName, &path);
    if (err != noErr)
        return err;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return ErrnoToOSErr(errno);
    PutCode(fd, "user.creator", creator);
    PutCode(fd, "user.type", fileType);
    close(fd);
    return noErr;
}

OSErr HOpen(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, int8_t permission,
            int16_t* refNum)
{
    if (refNum != nullptr)
        *refNum = 0;
    std::string path;
    OSErr err = ResolvePath(vRefNum, dirID, fileName, &path);
    if (err != noErr)
        return err;
    int flags = O_CLOEXEC;
    switch (permission) {
    case fsRdPerm:
        flags |= O_RDONLY;
        break;
    case fsWrPerm:
        flags |= O_WRONLY;
        break;
    default:
        flags |= O_RDWR;
        break;
    }
    int16_t number = 1;
    while (number < kMaxFiles && gOpenFiles.count(number) != 0)
        ++number;
    if (gOpenFiles.count(number) != 0)
        return tmfoErr;
    int fd = open(path.c_str(), flags);
    if (fd < 0)
        return ErrnoToOSErr(errno);
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return fnfErr;
    }
    gOpenFiles[number] = fd;
    if (refNum != nullptr)
        *refNum = number;
    return noErr;
}

OSErr HDelete(int16_t vRefNum, int32_t dirID, const unsigned char* fileName)
{
    std::string path;
    OSErr err = ResolvePath(vRefNum, dirID, fileName, &path);
    if (err != noErr)
        return err;
    if (unlink(path.c_str()) != 0)
        return ErrnoToOSErr(errno);
    return noErr;
}

OSErr FSRead(int16_t refNum, int32_t* count, void* buffer)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0) {
        if (count != nullptr)
            *count = 0;
        return rfNumErr;
    }
    if (count == nullptr || *count < 0)
        return paramErr;
    int64_t wanted = *count, moved = 0;
    char* bytes = static_cast<char*>(buffer);
    while (moved < wanted) {
        ssize_t n = read(fd, bytes + moved, static_cast<size_t>(wanted - moved));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *count = static_cast<int32_t>(moved);
            return ioErr;
        }
        if (n == 0)
            break;
        moved += n;
    }
    *count = static_cast<int32_t>(moved);
    return moved < wanted ? eofErr : noErr;
}

OSErr FSWrite(int16_t refNum, int32_t* count, const void* buffer)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0) {
        if (count != nullptr)
            *count = 0;
        return rfNumErr;
    }
    if (count == nullptr || *count < 0)
        return paramErr;
    int64_t wanted = *count, moved = 0;
    const char* bytes = static_cast<const char*>(buffer);
    while (moved < wanted) {
        ssize_t n = write(fd, bytes + moved, static_cast<size_t>(wanted - moved));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *count = static_cast<int32_t>(moved);
            return ErrnoToOSErr(errno);
        }
        if (n == 0)
            break;
        moved += n;
    }
    *count = static_cast<int32_t>(moved);
    return moved < wanted ? ioErr : noErr;
}

OSErr SetFPos(int16_t refNum, int16_t posMode, int64_t posOffset)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0)
        return rfNumErr;
    int whence;
    switch (posMode) {
    case fsAtMark:
        return noErr;
    case fsFromStart:
        whence = SEEK_SET;
        break;
    case fsFromLEOF:
        whence = SEEK_END;
        break;
    case fsFromMark:
        whence = SEEK_CUR;
        break;
    default:
        return paramErr;
    }
    if (lseek(fd, static_cast<off_t>(posOffset), whence) < 0) {
        return errno == EINVAL ? posErr : ioErr;
    }
    return noErr;
}

OSErr GetFPos(int16_t refNum, int64_t* position)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0)
        return rfNumErr;
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0)
        return ioErr;
    if (position != nullptr)
        *position = at;
    return noErr;
}

OSErr SetEOF(int16_t refNum, int64_t logicalEOF)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0)
        return rfNumErr;
    if (logicalEOF < 0)
        return paramErr;
    if (ftruncate(fd, static_cast<off_t>(logicalEOF)) != 0)
        return ErrnoToOSErr(errno);
    return noErr;
}

OSErr GetEOF(int16_t refNum, int64_t* logicalEOF)
{
    int fd = DescriptorOf(refNum);
    if (fd < 0)
        return rfNumErr;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return ioErr;
    if (logicalEOF != nullptr)
        *logicalEOF = info.st_size;
    return noErr;
}

OSErr FSClose(int16_t refNum)
{
    auto it = gOpenFiles.find(refNum);
    if (it == gOpenFiles.end())
        return rfNumErr;
    int fd = it->second;
    gOpenFiles.erase(it);
    return close(fd) == 0 ? noErr : ioErr;
}

OSErr FSMakeFSSpec(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, FSSpec* spec)
{
    if (spec == nullptr || fileName == nullptr)
        return paramErr;
    spec->vRefNum = vRefNum;
    spec->parID = dirID;
    std::memcpy(spec->name, fileName, static_cast<size_t>(fileName[0]) + 1);
    std::string path;
    OSErr err = ResolvePath(vRefNum, dirID, fileName, &path);
    if (err != noErr)
        return err;
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? noErr : fnfErr;
}

Handle TempNewHandle(int64_t size, OSErr* resultCode)
{
    OSErr err = noErr;
    HandleBlock* block = nullptr;
    if (size < 0) {
        err = paramErr;
    } else if (gTempBudget >= 0 && size > gTempBudget - gTempInUse) {
        err = memFullErr;
    } else {
        block = static_cast<HandleBlock*>(std::malloc(sizeof(HandleBlock)));
        if (block != nullptr) {
            block->master = AllocateBlock(size);
            if (block->master == nullptr) {
                std::free(block);
                block = nullptr;
            }
        }
        if (block == nullptr) {
            err = memFullErr;
        } else {
            block->size = size;
            gTempInUse += size;
        }
    }
    if (resultCode != nullptr)
        *resultCode = err;
    return block == nullptr ? nullptr : &block->master;
}

void HLock(Handle h)
{
    (void)h;
}
void HUnlock(Handle h)
{
    (void)h;
}

void DisposeHandle(Handle h)
{
    if (h == nullptr)
        return;
    HandleBlock* block = reinterpret_cast<HandleBlock*>(h);
    gTempInUse -= block->size;
    ReleaseBlock(block->master, block->size);
    std::free(block);
}

void BlockMove(const void* source, void* destination, int64_t count)
{
    if (count > 0)
        std::memmove(destination, source, static_cast<size_t>(count));
}

void InitCursor(void) {}

void ModalMessageDialog(const unsigned char* countedText)
{
    const char* text = countedText == nullptr ? "" : reinterpret_cast<const char*>(countedText + 1);
    int32_t length = countedText == nullptr ? 0 : countedText[0];
    if (gMessageHandler != nullptr) {
        gMessageHandler(text, length, gMessageContext);
        return;
    }
    std::string line(text, static_cast<size_t>(length));
    for (char& c : line) {
        if (c == '\r')
            c = '\n';
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void PlatformSetMessageHandler(PlatformMessageHandler handler, void* context)
{
    gMessageHandler = handler;
    gMessageContext = context;
}

void PlatformGetMessageHandler(PlatformMessageHandler* handler, void** context)
{
    if (handler != nullptr)
        *handler = gMessageHandler;
    if (context != nullptr)
        *context = gMessageContext;
}

void PlatformSetFolder(uint32_t folderType, const char* path)
{
    if (path == nullptr) {
        gFolders.erase(folderType);
    } else {
        gFolders[folderType] = path;
    }
}

const char* PlatformGetFolder(uint32_t folderType)
{
    auto it = gFolders.find(folderType);
    return it == gFolders.end() ? nullptr : it->second.c_str();
}

void PlatformSetTempMemoryBudget(int64_t bytes)
{
    gTempBudget = bytes;
}
int64_t PlatformGetTempMemoryBudget(void)
{
    return gTempBudget;
}
int64_t PlatformTempMemoryInUse(void)
{
    return gTempInUse;
}
int32_t PlatformOpenFileCount(void)
{
    return static_cast<int32_t>(gOpenFiles.size());
}

}  // extern "C"
