// Progress, cancel and messages. Progress reaches the host as
// (done, 1,000,000,000); the host is asked only once a run has given the
// framework its filter record. A message is a counted string of at most 255
// characters in which each '@' is shown as a carriage return.
#include "messages.h"

#include <cmath>
#include <cstring>

#include "entry.h"
#include "platform.h"

namespace {
constexpr int32_t kProgressTotal = 1000000000;
}

extern "C" {

Boolean TestAbortSetProgressBar(float fraction)
{
    float v = fraction * 1.0e9f;
    int32_t done;
    if (std::isnan(v) || v < 0.0f) {
        done = 0;
    } else if (v > 1.0e9f) {
        done = kProgressTotal;
    } else {
        done = static_cast<int32_t>(v);
    }
    FilterRecord* record = gPrimaryImage.filterRecord;
    if (record == nullptr)
        return 0;
    if (record->progressProc != nullptr)
        record->progressProc(done, kProgressTotal);
    return record->abortProc != nullptr ? static_cast<Boolean>(record->abortProc() & 0xFF) : 0;
}

void _DoProgress(int32_t done, int32_t total)
{
    FilterRecord* record = gPrimaryImage.filterRecord;
    if (record != nullptr && record->progressProc != nullptr)
        record->progressProc(done, total);
}

Boolean _CommandPeriod(void)
{
    FilterRecord* record = gPrimaryImage.filterRecord;
    if (record == nullptr || record->abortProc == nullptr)
        return 0;
    return static_cast<Boolean>(record->abortProc() & 0xFF);
}

void ErrorMessage(const char* text)
{
    Str255 counted;
    size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length > 255)
        length = 255;
    counted[0] = static_cast<unsigned char>(length);
    if (length > 0)
        std::memcpy(counted + 1, text, length);
    _FakePStringDialog(counted);
}

void _FakePStringDialog(const unsigned char* countedText)
{
    InitCursor();
    Str255 shown;
    size_t length = countedText == nullptr ? 0 : countedText[0];
    shown[0] = static_cast<unsigned char>(length);
    for (size_t i = 1; i <= length; ++i) {
        shown[i] = countedText[i] == '@' ? static_cast<unsigned char>(13) : countedText[i];
    }
    ModalMessageDialog(shown);
}

}  // extern "C"
