/*
 * Numbers as text. _RealToString renders a float with six significant
 * digits, rounded half up in 64-bit arithmetic, in point form for decimal
 * exponents -2 to 3 and in exponent form outside them; it writes at most 14
 * characters and a NUL. _Num2String writes a 32-bit integer in plain
 * decimal (at most 11 characters and a NUL).
 *
 * The writers put a number or a caption and then a tab or a carriage
 * return and line feed at the file's current position; the separator is
 * written only when the text before it was. ReadANumber reads one token
 * and converts it with atof; past the end of the file it gives 0 and eofErr
 * on every further call.
 */
#include "number_text.h"

#include <charconv>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "memory.h"
#include "platform.h"

namespace {

constexpr int32_t kNumberBufferSize = 256;

/* Writes the digit in front of m and leaves the rest scaled up by ten. A
 * digit of 10, which the rounding step can produce, is written as "10". */
char* PutDigit(char* p, double* m)
{
    int32_t digit = static_cast<int32_t>(*m);
    if (digit >= 10) {
        *p++ = '1';
        *p++ = static_cast<char>('0' + (digit - 10));
    } else {
        *p++ = static_cast<char>('0' + digit);
    }
    *m = (*m - digit) * 10.0;
    return p;
}

/* Writes text and then the separator, the separator only when the text
 * went out whole. Null or closed records are refused with fnfErr. */
OSErr WriteWithSeparator(TextFileNode* file, const char* text, const char* separator)
{
    if (file == nullptr || !file->isOpen)
        return fnfErr;
    int32_t count = text ? static_cast<int32_t>(strlen(text)) : 0;
    OSErr err = noErr;
    if (count > 0)
        err = FSWrite(file->fileRef, &count, text);
    if (err != noErr)
        return err;
    count = static_cast<int32_t>(strlen(separator));
    return FSWrite(file->fileRef, &count, separator);
}

OSErr WriteNumberWithSeparator(TextFileNode* file, float value, const char* separator)
{
    if (file == nullptr || !file->isOpen)
        return fnfErr;
    char* buffer = static_cast<char*>(CreateAPointerClear(kNumberBufferSize, 1));
    if (buffer == nullptr)
        return memFullErr;
    _RealToString(value, buffer);
    OSErr err = WriteWithSeparator(file, buffer, separator);
    DisposeAPointer(buffer);
    return err;
}

}  // namespace

extern "C" {

void _RealToString(float value, char* text)
{
    char* p = text;
    if (value == 0.0f) {
        strcpy(text, "0.0");
        return;
    }
    if (isnan(value)) {
        strcpy(text, "nan");
        return;
    }
    if (isinf(value)) {
        strcpy(text, value < 0.0f ? "-inf" : "inf");
        return;
    }
    double x = value;
    if (value < 0.0f) {
        *p++ = '-';
        x = -x;
    }
    const double ln10 = log(10.0);
    int32_t e = static_cast<int32_t>(log(x) / ln10);
    /* Scale to about one digit before the point and add 5 in the sixth
     * significant place, so truncating the digits rounds half up. */
    double m = (5.0 * exp((e - 6) * ln10) + x) / exp(e * ln10);
    if (e < -2 || e > 3) {
        p = PutDigit(p, &m);
        *p++ = '.';
        for (int i = 0; i < 5; ++i)
            p = PutDigit(p, &m);
        *p++ = 'e';
        *p++ = e >= 0 ? '+' : '-';
        int32_t magnitude = e >= 0 ? e : -e;
        if (magnitude >= 10)
            *p++ = static_cast<char>('0' + magnitude / 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
    } else {
        if (e < 0) {
            m /= exp(-e * ln10);
            e = 0;
        }
        for (int32_t i = 0; i < 6; ++i) {
            p = PutDigit(p, &m);
            if (i == e)
                *p++ = '.';
        }
    }
    *p = 0;
}

void _Num2String(int32_t value, char* text)
{
    /* "-2147483648" is the longest text: 11 characters and the NUL. */
    std::to_chars_result r = std::to_chars(text, text + 11, value);
    *r.ptr = 0;
}

OSErr WriteANumber(TextFileNode* file, float value)
{
    return WriteNumberWithSeparator(file, value, "\r\n");
}

OSErr WriteANumberTab(TextFileNode* file, float value)
{
    return WriteNumberWithSeparator(file, value, "\t");
}

OSErr WriteAHeader(TextFileNode* file, const char* text)
{
    return WriteWithSeparator(file, text, "\r\n");
}

OSErr WriteAHeaderTab(TextFileNode* file, const char* text)
{
    return WriteWithSeparator(file, text, "\t");
}

OSErr ReadANumber(TextFileNode* file, float* value)
{
    if (file == nullptr || !file->isOpen)
        return fnfErr;
    char* buffer = static_cast<char*>(CreateAPointer(kNumberBufferSize, 1));
    if (buffer == nullptr)
        return memFullErr;
    Boolean endOfLine = 0;
    Boolean endOfFile = 0;
    OSErr err = _ReadCString(file->fileRef, buffer, &endOfLine, &endOfFile, kNumberBufferSize);
    if (err == noErr) {
        if (buffer[0] != 0) {
            *value = static_cast<float>(atof(buffer));
        } else {
            *value = 0.0f;
            if (endOfFile)
                err = eofErr;
        }
    }
    DisposeAPointer(buffer);
    return err;
}

}  // extern "C"
