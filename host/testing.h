// Knobs and readings for tests of the host–plug-in protocol itself: a host
// with padded rows or no advanceState, records whose planes or mode fields
// disagree with the image, and what the record held after each selector.
// A host author needs none of this; host.h is the public API.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace host::test {

struct AdvanceCall {
    Rect32 inRect;
    Rect32 outRect;
};

struct RunOptions : host::RunOptions {
    // Extra bytes at the end of every host row (a host with padded rows).
    int32_t rowPadding = 0;
    // Leave advanceState out of the record.
    bool withoutAdvanceState = false;
    // Override of the record's planes field (the image's planes otherwise).
    std::optional<int16_t> planesField;
    // Override of the record's imageMode field (the image's mode otherwise).
    std::optional<int16_t> modeField;
};

struct RunReport : host::RunReport {
    std::vector<AdvanceCall> advanceCalls;  // rectangles at each advanceState
    int32_t dataSlot = -1;                  // the data slot after the start selector
    Rect32 inRectAfter{}, outRectAfter{}, maskRectAfter{};  // after start
    int32_t bufferSpace = 0;                                // as set on prepare
};

// host::RunFilter with the knobs above and the fuller report.
RunReport RunFilter(const Module& module, const Image& input, const RunOptions& options = {});

// Calls one selector with a zeroed record and records messages; for tests
// of the dispatch itself.
struct SelectorReport {
    int16_t result = 0;
    int32_t dataSlot = 0;
    std::vector<std::string> messages;
    FilterRecord record{};
};
SelectorReport CallSelector(const Module& module, int16_t selector, int32_t initialDataSlot = -1);

}  // namespace host::test
