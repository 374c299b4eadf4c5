/*
 * Numbers as text: six-significant-digit rendering of floats, plain decimal
 * integers, numbers and captions written to text files (fields separated by
 * a tab, lines ended by carriage return and line feed), and one number read
 * back per token.
 */
#ifndef FRAMEWORK_NUMBER_TEXT_H
#define FRAMEWORK_NUMBER_TEXT_H

#include <stdint.h>

#include "text_file.h"

#ifdef __cplusplus
extern "C" {
#endif

void _RealToString(float value, char* text);
void _Num2String(int32_t value, char* text);
OSErr WriteANumber(TextFileNode* file, float value);
OSErr WriteANumberTab(TextFileNode* file, float value);
OSErr WriteAHeader(TextFileNode* file, const char* text);
OSErr WriteAHeaderTab(TextFileNode* file, const char* text);
OSErr ReadANumber(TextFileNode* file, float* value);

#ifdef __cplusplus
}
#endif

#endif
