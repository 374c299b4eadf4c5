/*
 * Named images: auxiliary images held in a locked block of temporary memory
 * or in a file of their name in the Preferences folder, read and written a
 * whole line or a whole column at a time.
 *
 * Invariants:
 * - Storage is decided by `data` alone: non-null means memory, null means
 *   the open file `fileRef`. It never changes after creation.
 * - A file is 6 header bytes (width, height, bytesPerPixel in the processor's
 *   byte order, unconverted) and then byteCount pixel bytes, line 0 first.
 * - byteCount and every file offset are 64-bit, so images past 2 GiB and
 *   4 GiB address the right bytes; the header stays three 16-bit fields.
 * - Names longer than 255 characters are refused before anything is
 *   allocated, created or deleted.
 * - Every failing path releases what it took (record, zero buffer, handle,
 *   file) and hands out no image. A file that fails to open stays on disk.
 */
#include "named_image.h"

#include <cstdlib>
#include <cstring>

#include "messages.h"

namespace {

constexpr uint64_t kZeroChunk = kNamedImageZeroChunk;
constexpr uint32_t kCreatorCode = 0x43524541;  /* 'CREA' */
constexpr uint32_t kFileTypeCode = 0x54595045; /* 'TYPE' */
/* Largest single FSRead/FSWrite of a line; lines are far shorter in practice. */
constexpr uint64_t kMaxTransfer = 0x40000000;

}  // namespace

/* The counted-string form of a NUL-terminated name; false when the name is
 * missing or longer than 255 characters. */
static bool _NameToCounted(const char* name, Str255 counted)
{
    if (name == nullptr)
        return false;
    size_t length = std::strlen(name);
    if (length > 255)
        return false;
    counted[0] = static_cast<unsigned char>(length);
    std::memcpy(counted + 1, name, length);
    return true;
}

OpenImageNode* gOpenImageFileList = nullptr;

static OSErr _FindPreferences(int16_t* vRefNum, int32_t* dirID)
{
    *vRefNum = 0;
    *dirID = 0;
    return FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, vRefNum, dirID);
}

/* Deletes the file of that name in the Preferences folder. When the folder
 * cannot be found nothing is deleted: volume 0 and directory 0 would name
 * the current directory instead. */
static void _DeletePreferencesFile(const unsigned char* countedName)
{
    int16_t vRefNum;
    int32_t dirID;
    if (_FindPreferences(&vRefNum, &dirID) == noErr)
        HDelete(vRefNum, dirID, countedName);
}

/* Takes the image off the open-image list, so a later shut-down never meets
 * a record that has already been released. */
static void _ForgetOpenImage(NamedImage* image)
{
    OpenImageNode** link = &gOpenImageFileList;
    while (*link != nullptr) {
        if ((*link)->image == image) {
            OpenImageNode* node = *link;
            *link = node->next;
            std::free(node);
            return;
        }
        link = &(*link)->next;
    }
}

/* One positioned transfer of count bytes between the file and buffer. A
 * failed seek fails the transfer: the bytes would land in the wrong place. */
static OSErr _FileTransfer(int16_t fileRef, uint64_t offset, void* buffer, uint64_t count,
                           bool write, int32_t* moved)
{
    if (moved != nullptr)
        *moved = 0;
    OSErr result = SetFPos(fileRef, fsFromStart, static_cast<int64_t>(offset));
    if (result != noErr)
        return result;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    do {
        uint64_t piece = count < kMaxTransfer ? count : kMaxTransfer;
        int32_t asked = static_cast<int32_t>(piece);
        int32_t done = asked;
        result = write ? FSWrite(fileRef, &done, bytes) : FSRead(fileRef, &done, bytes);
        if (moved != nullptr)
            *moved = done;
        if (result != noErr || done != asked)
            break;
        bytes += piece;
        count -= piece;
    } while (count > 0);
    return result;
}

static void _ReleaseRecord(NamedImage* image)
{
    if (image->dataHandle != nullptr)
        DisposeHandle(image->dataHandle);
    std::free(image);
}

/* Where the Preferences folder is, or why it could not be found. */
typedef struct PreferencesSpot {
    OSErr found;
    int16_t vRefNum;
    int32_t dirID;
} PreferencesSpot;

static void _FillRecord(NamedImage* record, const char* name, const Str255 counted,
                        Boolean keepOnDisk, uint16_t width, uint16_t height, uint16_t bytesPerPixel)
{
    record->width = width;
    record->height = height;
    record->bytesPerPixel = bytesPerPixel;
    record->keepOnDisk = keepOnDisk ? 1 : 0;
    record->byteCount = static_cast<uint64_t>(width) * bytesPerPixel * height;
    std::memcpy(record->name, name, static_cast<size_t>(counted[0]) + 1);
    record->fileRef = 0;
    record->data = nullptr;
    record->dataHandle = nullptr;
}

/* The pixels in a locked block of temporary memory, cleared unless the
 * caller writes every line before reading it; false when the image may not
 * or cannot live there. A handle obtained without a block stays in the
 * record for its release. */
static bool _MakeInMemory(NamedImage* record, bool clear)
{
    if (record->keepOnDisk || record->byteCount >= kNamedImageMemoryLimit)
        return false;
    OSErr memErr = noErr;
    record->dataHandle = TempNewHandle(static_cast<int64_t>(record->byteCount), &memErr);
    if (memErr == noErr && record->dataHandle != nullptr) {
        HLock(record->dataHandle);
        record->data = *record->dataHandle;
    }
    if (record->data == nullptr)
        return false;
    if (clear)
        std::memset(record->data, 0, static_cast<size_t>(record->byteCount));
    return true;
}

/* The header, straight from the record's three fields, then byteCount zero
 * bytes in chunks, in file order: at least one chunk (of 0 bytes when
 * empty). A header or chunk that fails, or goes out short (ioErr), fails
 * the whole. */
static OSErr _WriteClearedFile(const NamedImage* record, const uint8_t* zeros)
{
    uint8_t header[kNamedImageHeaderBytes];
    std::memcpy(header + 0, &record->width, 2);
    std::memcpy(header + 2, &record->height, 2);
    std::memcpy(header + 4, &record->bytesPerPixel, 2);
    int32_t headerCount = kNamedImageHeaderBytes;
    OSErr headerResult = FSWrite(record->fileRef, &headerCount, header);
    if (headerResult == noErr && headerCount != kNamedImageHeaderBytes)
        headerResult = ioErr;
    if (headerResult != noErr)
        return headerResult;

    uint64_t remaining = record->byteCount;
    do {
        uint64_t chunk = remaining < kZeroChunk ? remaining : kZeroChunk;
        int32_t count = static_cast<int32_t>(chunk);
        OSErr result = FSWrite(record->fileRef, &count, zeros);
        if (result == noErr && static_cast<uint64_t>(count) != chunk)
            result = ioErr;
        if (result != noErr)
            return result;
        remaining -= chunk;
    } while (remaining > 0);
    return noErr;
}

/* The pixels in a new file of the image's name in the Preferences folder,
 * cleared. A file that was created but cannot be opened or cleared is
 * closed and deleted again. A working image's file is taken out of the
 * folder as soon as it is open, so it never outlives the process, however
 * that ends. */
static OSErr _MakeInFile(NamedImage* record, const PreferencesSpot* folder,
                         const unsigned char* counted, const uint8_t* zeros)
{
    if (folder->found != noErr)
        return folder->found;
    OSErr result = HCreate(folder->vRefNum, folder->dirID, counted, kCreatorCode, kFileTypeCode);
    if (result != noErr)
        return result;
    bool inFolder = true;
    result = HOpen(folder->vRefNum, folder->dirID, counted, fsRdWrPerm, &record->fileRef);
    if (result == noErr && !record->keepOnDisk) {
        result = HDelete(folder->vRefNum, folder->dirID, counted);
        inFolder = result != noErr;
    }
    if (result == noErr)
        result = _WriteClearedFile(record, zeros);
    if (result != noErr && record->fileRef != 0) {
        FSClose(record->fileRef);
        record->fileRef = 0;
    }
    if (result != noErr && inFolder)
        HDelete(folder->vRefNum, folder->dirID, counted);
    return result;
}

extern "C" OSErr _MakeNamedImage(const char* name, Boolean keepOnDisk, uint16_t width,
                                 uint16_t height, uint16_t bytesPerPixel, NamedImage** image)
{
    return _MakeNamedImageCleared(name, keepOnDisk, width, height, bytesPerPixel, true, image);
}

extern "C" OSErr _MakeNamedImageCleared(const char* name, Boolean keepOnDisk, uint16_t width,
                                        uint16_t height, uint16_t bytesPerPixel,
                                        Boolean clearMemory, NamedImage** image)
{
    Str255 counted;
    *image = nullptr;
    if (!_NameToCounted(name, counted))
        return bdNamErr;

    NamedImage* record = static_cast<NamedImage*>(std::calloc(1, sizeof(NamedImage)));
    if (record == nullptr)
        return memFullErr;
    /* The zero buffer is taken before anything on disk changes, so running
     * out of memory leaves any existing file of the name in place. */
    uint8_t* zeros = static_cast<uint8_t*>(std::calloc(kZeroChunk, 1));
    if (zeros == nullptr) {
        std::free(record);
        return memFullErr;
    }

    PreferencesSpot folder;
    folder.found = _FindPreferences(&folder.vRefNum, &folder.dirID);
    if (folder.found == noErr)
        HDelete(folder.vRefNum, folder.dirID, counted);

    _FillRecord(record, name, counted, keepOnDisk, width, height, bytesPerPixel);
    OSErr result = noErr;
    if (!_MakeInMemory(record, clearMemory))
        result = _MakeInFile(record, &folder, counted, zeros);
    std::free(zeros);
    if (result != noErr) {
        _ReleaseRecord(record);
        return result;
    }
    *image = record;
    return noErr;
}

extern "C" OSErr _OpenNamedImage(const char* name, NamedImage** image)
{
    Str255 counted;
    *image = nullptr;
    if (!_NameToCounted(name, counted))
        return bdNamErr;

    NamedImage* record = static_cast<NamedImage*>(std::calloc(1, sizeof(NamedImage)));
    if (record == nullptr)
        return memFullErr;

    int16_t vRefNum;
    int32_t dirID;
    OSErr result = _FindPreferences(&vRefNum, &dirID);
    if (result == noErr)
        result = HOpen(vRefNum, dirID, counted, fsRdWrPerm, &record->fileRef);
    if (result != noErr) {
        /* The file is left alone: a stored image must not be lost because
         * it could not be opened this time. */
        std::free(record);
        return result;
    }

    uint8_t header[kNamedImageHeaderBytes] = {};
    SetFPos(record->fileRef, fsFromStart, 0);
    int32_t count = kNamedImageHeaderBytes;
    result = FSRead(record->fileRef, &count, header);
    if (result == noErr && count != kNamedImageHeaderBytes)
        result = eofErr;
    if (result != noErr) {
        /* Too short to be an image: nobody may use this record, so it and
         * its file are released here rather than leaked. */
        FSClose(record->fileRef);
        std::free(record);
        return result;
    }
    /* No field is validated: the first 6 bytes are the dimensions. */
    std::memcpy(&record->width, header + 0, 2);
    std::memcpy(&record->height, header + 2, 2);
    std::memcpy(&record->bytesPerPixel, header + 4, 2);

    std::memcpy(record->name, name, static_cast<size_t>(counted[0]) + 1);
    record->keepOnDisk = 1;
    record->byteCount =
        static_cast<uint64_t>(record->width) * record->bytesPerPixel * record->height;
    record->data = nullptr;
    record->dataHandle = nullptr;
    *image = record;
    return noErr;
}

extern "C" void _TossNamedImage(NamedImage* image)
{
    if (image == nullptr)
        return;
    _ForgetOpenImage(image);
    if (image->fileRef != 0) {
        FSClose(image->fileRef);
        /* A working image's file left the folder when it was made; deleting
         * by name now could only hit another process's file. */
        Str255 counted;
        if (image->keepOnDisk && _NameToCounted(image->name, counted))
            _DeletePreferencesFile(counted);
    }
    _ReleaseRecord(image);
}

extern "C" void _CloseNamedImage(NamedImage* image)
{
    if (image == nullptr)
        return;
    _ForgetOpenImage(image);
    if (image->fileRef != 0)
        FSClose(image->fileRef);
    _ReleaseRecord(image);
}

/* Shared body of _GetLine and _PutLine. */
static OSErr _LineTransfer(NamedImage* image, int32_t y, void* buffer, bool write)
{
    if (image == nullptr)
        return paramErr;
    if (y < 0 || y >= image->height) {
        ErrorMessage("Y line out of range for this image (_GetLine)");
        return paramErr;
    }
    uint64_t lineBytes = static_cast<uint64_t>(image->width) * image->bytesPerPixel;
    uint64_t offset = static_cast<uint64_t>(y) * lineBytes;
    if (image->data != nullptr) {
        uint8_t* pixels = static_cast<uint8_t*>(image->data) + offset;
        if (write)
            std::memcpy(pixels, buffer, lineBytes);
        else
            std::memcpy(buffer, pixels, lineBytes);
        return noErr;
    }
    return _FileTransfer(image->fileRef, kNamedImageHeaderBytes + offset, buffer, lineBytes, write,
                         nullptr);
}

/* Shared body of _GetColumn and _PutColumn. */
static OSErr _ColumnTransfer(NamedImage* image, int32_t x, void* buffer, bool write)
{
    if (image == nullptr)
        return paramErr;
    if (x < 0 || x >= image->width) {
        ErrorMessage("X column out of range for this image (_GetColumn)");
        return paramErr;
    }
    uint64_t pixelBytes = image->bytesPerPixel;
    uint64_t lineBytes = static_cast<uint64_t>(image->width) * pixelBytes;
    uint64_t columnOffset = static_cast<uint64_t>(x) * pixelBytes;
    uint8_t* column = static_cast<uint8_t*>(buffer);
    for (uint32_t y = 0; y < image->height; y++) {
        uint64_t offset = y * lineBytes + columnOffset;
        uint8_t* slot = column + y * pixelBytes;
        if (image->data != nullptr) {
            uint8_t* pixel = static_cast<uint8_t*>(image->data) + offset;
            if (write)
                std::memcpy(pixel, slot, pixelBytes);
            else
                std::memcpy(slot, pixel, pixelBytes);
            continue;
        }
        int32_t moved = 0;
        OSErr result = _FileTransfer(image->fileRef, kNamedImageHeaderBytes + offset, slot,
                                     pixelBytes, write, &moved);
        /* A short transfer without an error ends the column with result 0. */
        if (result != noErr || static_cast<uint64_t>(moved) != pixelBytes)
            return result;
    }
    return noErr;
}

extern "C" OSErr _GetLine(NamedImage* image, int32_t y, void* buffer)
{
    return _LineTransfer(image, y, buffer, false);
}

extern "C" OSErr _PutLine(NamedImage* image, int32_t y, const void* buffer)
{
    return _LineTransfer(image, y, const_cast<void*>(buffer), true);
}

extern "C" OSErr _GetColumn(NamedImage* image, int32_t x, void* buffer)
{
    return _ColumnTransfer(image, x, buffer, false);
}

extern "C" OSErr _PutColumn(NamedImage* image, int32_t x, const void* buffer)
{
    return _ColumnTransfer(image, x, const_cast<void*>(buffer), true);
}

extern "C" void _CStringToFSSpec(const char* name, FSSpec* spec)
{
    if (name == nullptr) {
        spec->vRefNum = -1;
        spec->parID = 2;
        spec->name[0] = 0;
        return;
    }
    size_t length = std::strlen(name);
    if (length > 255)
        length = 255;
    Str255 counted;
    counted[0] = static_cast<unsigned char>(length);
    std::memcpy(counted + 1, name, length);
    FSMakeFSSpec(0, 0, counted, spec);
}
