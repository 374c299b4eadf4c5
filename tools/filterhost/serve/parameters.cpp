// Plug-in descriptions for the page, and the parameter file of a run.
#include "parameters.h"

#include <map>

#include "plugin_description.h"

namespace filterhost::serve {

using nlohmann::json;

namespace {

json ParameterJson(const host::ParameterDescription& p)
{
    return {{"name", p.name},      {"meaning", p.meaning},      {"integer", p.integer},
            {"unit", p.unit},      {"default", p.defaultValue}, {"minimum", p.minimum},
            {"maximum", p.maximum}};
}

// A JSON value as the number text the parameter file gets.
std::string NumberText(const json& value)
{
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_number_integer())
        return std::to_string(value.get<long long>());
    return value.dump();  // shortest text that reads back as the same double
}

}  // namespace

json DescribeModule(const std::filesystem::path& modulePath)
{
    const auto description = host::LoadPluginDescription(modulePath);
    if (!description)
        return nullptr;
    json out = {{"menu_name", description->menuName},
                {"category", description->category},
                {"summary", description->summary},
                {"image_modes", description->imageModes},
                {"modes_text", host::OfferedModesText(*description)},
                {"reference_image", host::ReferenceUseName(description->reference)},
                {"parameters", json::array()}};
    if (description->parameterFile)
        for (const auto& parameter : description->parameterFile->parameters)
            out["parameters"].push_back(ParameterJson(parameter));
    return out;
}

std::optional<std::string> WriteParameters(const std::filesystem::path& modulePath,
                                           const std::filesystem::path& desktop, const json& values)
{
    if (values.empty())
        return std::nullopt;
    try {
        const auto description = host::LoadPluginDescription(modulePath);
        if (!description)
            return "this plug-in has no description, so it takes no parameters";
        std::map<std::string, std::string> texts;
        for (const auto& [name, value] : values.items())
            texts[name] = NumberText(value);
        host::WriteParameterFile(*description, texts, desktop);
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::nullopt;
}

}  // namespace filterhost::serve
