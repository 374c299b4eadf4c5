/*
 * Operating-system services for plug-in modules and hosts: folders found by
 * type, files opened by name in a folder, lockable temporary memory and the
 * modal message dialog.
 *
 * One shared copy of this library serves the host and every module loaded
 * into its process, so what the host configures (folders, memory budget,
 * message handler) is what every module sees.
 *
 * Folders are found, never created: a folder type the host has not set, or
 * whose directory does not exist, answers fnfErr. File names are counted
 * strings (a length byte, then at most 255 characters). Errors are the
 * classic file-system codes of PluginTypes.h (fnfErr, eofErr, ioErr, ...).
 */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "plugin_interface/PluginTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Str255[256];
typedef char** Handle;

typedef struct FSSpec {
    int16_t vRefNum;
    int32_t parID;
    Str255 name;
} FSSpec;

/* ---- Folders ---------------------------------------------------------- */

enum {
    kOnSystemDisk = -32768,
    kDontCreateFolder = 0,
    kPreferencesFolderType = 0x70726566, /* 'pref' */
    kDesktopFolderType = 0x6465736B      /* 'desk' */
};

/* The volume every folder lives on; directory IDs name folders on it. */
enum { kPlatformVolume = -1 };

OSErr FindFolder(int16_t vRefNum, uint32_t folderType, Boolean createFolder, int16_t* foundVRefNum,
                 int32_t* foundDirID);

/* ---- Files ------------------------------------------------------------ */

enum { fsCurPerm = 0, fsRdPerm = 1, fsWrPerm = 2, fsRdWrPerm = 3 };
enum { fsAtMark = 0, fsFromStart = 1, fsFromLEOF = 2, fsFromMark = 3 };

/* Creates an empty file; dupFNErr when one of that name exists. The creator
 * and type codes are recorded as extended attributes where the file system
 * keeps them. vRefNum 0 with dirID 0 names the current directory. */
OSErr HCreate(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, uint32_t creator,
              uint32_t fileType);
OSErr HOpen(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, int8_t permission,
            int16_t* refNum);
OSErr HDelete(int16_t vRefNum, int32_t dirID, const unsigned char* fileName);

/* *count is the number of bytes asked for on entry and moved on return.
 * Reading past the end moves what there is and answers eofErr. */
OSErr FSRead(int16_t refNum, int32_t* count, void* buffer);
OSErr FSWrite(int16_t refNum, int32_t* count, const void* buffer);
OSErr SetFPos(int16_t refNum, int16_t posMode, int64_t posOffset);
OSErr GetFPos(int16_t refNum, int64_t* position);
OSErr SetEOF(int16_t refNum, int64_t logicalEOF);
OSErr GetEOF(int16_t refNum, int64_t* logicalEOF);
OSErr FSClose(int16_t refNum);

OSErr FSMakeFSSpec(int16_t vRefNum, int32_t dirID, const unsigned char* fileName, FSSpec* spec);

/* ---- Temporary memory --------------------------------------------------- */

/* A handle of size bytes, or null with memFullErr when the budget or the heap
 * refuses it. Contents undefined. */
Handle TempNewHandle(int64_t size, OSErr* resultCode);
void HLock(Handle h);
void HUnlock(Handle h);
void DisposeHandle(Handle h);
void BlockMove(const void* source, void* destination, int64_t count);

/* ---- Dialog and cursor --------------------------------------------------- */

void InitCursor(void);

/* Shows a counted string in the modal message dialog and returns when it is
 * dismissed. Without a handler the text goes to stderr. */
void ModalMessageDialog(const unsigned char* countedText);

/* ---- Host configuration ------------------------------------------------- */

/* Receives the text of each message (length bytes, not NUL-terminated). */
typedef void (*PlatformMessageHandler)(const char* text, int32_t length, void* context);

void PlatformSetMessageHandler(PlatformMessageHandler handler, void* context);
void PlatformGetMessageHandler(PlatformMessageHandler* handler, void** context);

/* Sets the directory standing for a folder type; null forgets it. */
void PlatformSetFolder(uint32_t folderType, const char* path);
/* The directory set for a folder type, or null. */
const char* PlatformGetFolder(uint32_t folderType);

/* Caps the bytes of temporary memory held at once; negative means no cap. */
void PlatformSetTempMemoryBudget(int64_t bytes);
int64_t PlatformGetTempMemoryBudget(void);
int64_t PlatformTempMemoryInUse(void);
int32_t PlatformOpenFileCount(void);

#ifdef __cplusplus
}
#endif

#endif
