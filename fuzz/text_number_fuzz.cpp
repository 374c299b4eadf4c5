// The text-token and number reader: the fuzzer's bytes are a text file on
// the Desktop, read to its end as numbers (as the parameter file is) and
// again as tokens of assorted buffer sizes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "filter_framework.h"
#include "fuzz_support.h"

extern "C" const char gAboutText[] = "text reader fuzz target";
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}

namespace {

void IgnoreMessages(const char*, int32_t, void*) {}

void ReadNumbers(size_t size)
{
    TextFileNode* file = nullptr;
    if (OpenTextFileToRead("input.txt", &file) != noErr)
        return;
    float value = 0.0f;
    // Each number takes at least one byte, so this always reaches the end.
    for (size_t i = 0; i <= size && ReadANumber(file, &value) != eofErr; i++) {
    }
    CloseTextFile(file);
}

void ReadTokens(const uint8_t* data, size_t size)
{
    TextFileNode* file = nullptr;
    if (OpenTextFileToRead("input.txt", &file) != noErr)
        return;
    const int32_t tokenSize = size > 0 ? data[0] % 40 : 1;
    std::vector<char> token(static_cast<size_t>(tokenSize) + 1, 'x');
    Boolean endOfLine = 0, endOfFile = 0;
    for (size_t i = 0; i <= size && !endOfFile; i++) {
        _ReadCString(file->fileRef, token.data(), &endOfLine, &endOfFile, tokenSize);
        if (tokenSize > 0 &&
            std::memchr(token.data(), 0, static_cast<size_t>(tokenSize)) == nullptr)
            __builtin_trap();  // a token without its NUL
    }
    CloseTextFile(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::filesystem::path desktop = [] {
        std::filesystem::path folder = fuzz::ScratchSubfolder("desktop");
        PlatformSetFolder(kDesktopFolderType, folder.c_str());
        PlatformSetMessageHandler(IgnoreMessages, nullptr);
        return folder;
    }();
    fuzz::WriteBytes(desktop / "input.txt", data, size);
    ReadNumbers(size);
    ReadTokens(data, size);
    _CloseAllTextFiles();
    return 0;
}
