/*
 * Text files on the Desktop folder: created for writing or opened for
 * reading, read one character or one token at a time.
 *
 * Every record made here goes to the head of gOpenFileList and stays there
 * after its file is closed; records are released only when the whole list
 * is emptied by _CloseAllTextFiles (the run's shut-down calls it), so a
 * caller's pointer stays valid until the end of the run.
 *
 * Reading is unbuffered, one FSRead per character. A carriage return, a
 * carriage return and line feed, or a line feed alone ends a line, so files
 * from any system read alike; form feed and NUL are dropped; the end of the
 * file (or a failed read) reads as the character 0x1A with endOfFile set.
 */
#include "text_file.h"

#include <string.h>

#include "memory.h"
#include "messages.h"
#include "platform.h"

TextFileNode* gOpenFileList = nullptr;

namespace {

constexpr uint32_t kTextCreator = 0x43524541; /* 'CREA' */
constexpr uint32_t kTextType = 0x54595045;    /* 'TYPE' */
constexpr char kEndOfFileChar = 0x1A;

/* The caller's NUL-terminated name as a counted string, cut to 255. */
void MakeCountedName(const char* name, Str255 counted)
{
    size_t length = name ? strlen(name) : 0;
    if (length > 255)
        length = 255;
    counted[0] = static_cast<unsigned char>(length);
    if (length > 0)
        memcpy(counted + 1, name, length);
}

/* Opens the Desktop file for reading and writing; creates it first when
 * asked (an existing file is used as it is). */
OSErr OpenDesktopFile(const char* name, bool create, int16_t* refNum)
{
    Str255 counted;
    MakeCountedName(name, counted);
    int16_t vRefNum = 0;
    int32_t dirID = 0;
    OSErr err = FindFolder(kOnSystemDisk, kDesktopFolderType, kDontCreateFolder, &vRefNum, &dirID);
    if (err != noErr)
        return err;
    if (create)
        (void)HCreate(vRefNum, dirID, counted, kTextCreator, kTextType);
    return HOpen(vRefNum, dirID, counted, fsRdWrPerm, refNum);
}

/* A new record for an open file, put at the head of the list; null when
 * no memory could be had. */
TextFileNode* AddTextFileNode(int16_t refNum, Boolean forReading)
{
    TextFileNode* node =
        static_cast<TextFileNode*>(CreateAPointer(1, static_cast<int32_t>(sizeof(TextFileNode))));
    if (node == nullptr)
        return nullptr;
    node->fileRef = refNum;
    node->forReading = forReading;
    node->isOpen = 1;
    node->next = gOpenFileList;
    gOpenFileList = node;
    return node;
}

/* After a carriage return: a line feed right behind it belongs to the same
 * line end and is consumed; anything else is left to be read next. */
void SkipLineFeed(int16_t fileRef)
{
    int32_t count = 1;
    char next = 0;
    if (FSRead(fileRef, &count, &next) != noErr || count < 1)
        return;
    if (next != '\n')
        SetFPos(fileRef, fsFromMark, -1);
}

}  // namespace

extern "C" {

OSErr CreateTextFileToWrite(const char* name, TextFileNode** file)
{
    *file = nullptr;
    int16_t refNum = 0;
    OSErr err = OpenDesktopFile(name, true, &refNum);
    if (err == noErr) {
        /* An existing file is emptied, so no tail of an older, longer text
         * is left behind what is written now. */
        err = SetEOF(refNum, 0);
        if (err != noErr)
            FSClose(refNum);
    }
    if (err != noErr) {
        ErrorMessage("Cannot open text file. (CreateTextFileToWrite)");
        return err;
    }
    TextFileNode* node = AddTextFileNode(refNum, 0);
    if (node == nullptr) {
        FSClose(refNum);
        return memFullErr;
    }
    *file = node;
    return noErr;
}

OSErr OpenTextFileToRead(const char* name, TextFileNode** file)
{
    *file = nullptr;
    int16_t refNum = 0;
    OSErr err = OpenDesktopFile(name, false, &refNum);
    if (err != noErr)
        return err;
    TextFileNode* node = AddTextFileNode(refNum, 1);
    if (node == nullptr) {
        FSClose(refNum);
        return memFullErr;
    }
    *file = node;
    return noErr;
}

void CloseTextFile(TextFileNode* file)
{
    if (file == nullptr)
        return;
    if (!file->isOpen) {
        ErrorMessage("Text file has already been closed. (CloseTextFile)");
        return;
    }
    if (FSClose(file->fileRef) == noErr) {
        file->isOpen = 0;
    } else {
        ErrorMessage("Bad File_ID when closing text file. (CloseTextFile)");
    }
}

void _CloseAllTextFiles(void)
{
    TextFileNode* node = gOpenFileList;
    while (node != nullptr) {
        TextFileNode* next = node->next;
        if (node->isOpen && node->fileRef != 0)
            CloseTextFile(node);
        DisposeAPointer(node);
        node = next;
    }
    gOpenFileList = nullptr;
}

OSErr _ReadCH(int16_t fileRef, char* ch, Boolean* endOfLine, Boolean* endOfFile)
{
    int32_t count = 1;
    char byte = 0;
    OSErr err = FSRead(fileRef, &count, &byte);
    if (err != noErr || count < 1) {
        *ch = kEndOfFileChar;
        *endOfFile = 1;
    } else {
        *ch = byte;
        *endOfFile = 0;
    }
    if (*ch == '\r' && !*endOfFile)
        SkipLineFeed(fileRef);
    *endOfLine = (*ch == '\r' || *ch == '\n' || *endOfFile) ? 1 : 0;
    return noErr;
}

OSErr _ReadCString(int16_t fileRef, char* token, Boolean* endOfLine, Boolean* endOfFile,
                   int32_t size)
{
    /* CreateAPointer reports a zero size itself. */
    char* work = static_cast<char*>(CreateAPointer(size, 1));
    if (work == nullptr)
        return memFullErr;
    Boolean lineEnded = 0;
    Boolean fileEnded = 0;
    int32_t length = 0;
    if (size > 0)
        work[0] = 0;
    /* The token ends when it holds size - 1 characters, so it always fits
     * with its NUL; a size of 0 or 1 reads nothing. */
    while (length < size - 1) {
        char ch = 0;
        _ReadCH(fileRef, &ch, &lineEnded, &fileEnded);
        if (fileEnded)
            break;
        if (ch == '\f' || ch == '\0')
            continue;
        if (ch == '\r' || ch == '\n' || ch == '\t' || ch == ',' || ch == ' ')
            break;
        work[length++] = ch;
        work[length] = 0;
    }
    *endOfLine = lineEnded;
    *endOfFile = fileEnded;
    /* With no room even for the NUL the caller's buffer is left alone. */
    if (size > 0)
        memcpy(token, work, static_cast<size_t>(length) + 1);
    DisposeAPointer(work);
    return noErr;
}

}  // extern "C"
