#include "console.h"

#include <iostream>

namespace filterhost {

int HostError(const std::string& text)
{
    std::cerr << "filterhost: " << text << "\n";
    return kExitHostError;
}

std::string LineBreaks(std::string text)
{
    for (char& c : text)
        if (c == '\r')
            c = '\n';
    return text;
}

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

}  // namespace filterhost
