/*
 * Progress, cancel and messages: progress goes to the host as a pair
 * (done, 1,000,000,000); messages go to the modal message dialog, with each
 * '@' shown as a line break (carriage return).
 */
#ifndef FRAMEWORK_MESSAGES_H
#define FRAMEWORK_MESSAGES_H

#include <stdint.h>

#include "plugin_interface/FilterRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

Boolean TestAbortSetProgressBar(float fraction);
void _DoProgress(int32_t done, int32_t total);
Boolean _CommandPeriod(void);
void ErrorMessage(const char* text);
void _FakePStringDialog(const unsigned char* countedText);

#ifdef __cplusplus
}
#endif

#endif
