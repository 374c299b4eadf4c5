/*
 * The module's exported entry point "main". It lives in its own object,
 * outside the framework's static library, and only forwards to the
 * framework's selector dispatch.
 */
#include "plugin_interface/FilterRecord.h"

void _FilterMain(int16_t selector, FilterRecord* filterRecord, int32_t* data, int16_t* result);

void PluginEntryPoint(int16_t selector, FilterRecord* filterRecord, int32_t* data,
                      int16_t* result) __asm__("main");

void PluginEntryPoint(int16_t selector, FilterRecord* filterRecord, int32_t* data, int16_t* result)
{
    _FilterMain(selector, filterRecord, data, result);
}
