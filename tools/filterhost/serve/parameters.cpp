// Plug-in parameters for the page.
#include "parameters.h"

namespace filterhost::serve {

nlohmann::json DescribeModule(const std::filesystem::path&)
{
    return nullptr;
}

std::optional<std::string> WriteParameters(const std::filesystem::path&,
                                           const std::filesystem::path&,
                                           const nlohmann::json& values)
{
    if (values.empty())
        return std::nullopt;
    return "this plug-in takes no parameters";
}

}  // namespace filterhost::serve
