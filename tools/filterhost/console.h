// Exit statuses and the small text helpers every command shares.
#pragma once

#include <string>

namespace filterhost {

constexpr int kExitHostError = 1;
constexpr int kExitPluginFailed = 2;
// kExitCancelled (130) is in interrupt.h.

// Prints "filterhost: TEXT" on stderr; returns kExitHostError.
int HostError(const std::string& text);

// A message's line breaks (carriage returns) as newlines.
std::string LineBreaks(std::string text);

// A message on one line: every line break a blank.
std::string OneLine(std::string text);

}  // namespace filterhost
