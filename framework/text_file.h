/*
 * Text files on the Desktop: opened for reading or created for writing,
 * every record kept on gOpenFileList so the shut-down closes what a filter
 * left open; read one character or one token at a time.
 *
 * Tokens end at carriage return, tab, comma or blank (delimiters are never
 * merged); line feed, form feed and NUL are dropped; the end of the file
 * reads as the character 0x1A.
 */
#ifndef FRAMEWORK_TEXT_FILE_H
#define FRAMEWORK_TEXT_FILE_H

#include <stdint.h>

#include "plugin_interface/FilterRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TextFileNode {
    int16_t fileRef;
    Boolean forReading;
    Boolean isOpen;
    struct TextFileNode* next;
} TextFileNode;

extern TextFileNode* gOpenFileList;

OSErr CreateTextFileToWrite(const char* name, TextFileNode** file);
OSErr OpenTextFileToRead(const char* name, TextFileNode** file);
void CloseTextFile(TextFileNode* file);
void _CloseAllTextFiles(void);
OSErr _ReadCH(int16_t fileRef, char* ch, Boolean* endOfLine, Boolean* endOfFile);
OSErr _ReadCString(int16_t fileRef, char* token, Boolean* endOfLine, Boolean* endOfFile,
                   int32_t size);

#ifdef __cplusplus
}
#endif

#endif
