// Plug-in descriptions read from JSON, parameter values checked against
// them, and the parameter file a filter reads written and read back.
#include "plugin_description.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace host {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string ReadWholeFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read '" + file.string() + "'");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename T> T Field(const json& object, const char* key, const std::string& origin)
{
    const auto it = object.find(key);
    if (it == object.end())
        throw DescriptionError(origin + ": no \"" + key + "\"");
    try {
        return it->get<T>();
    } catch (const json::exception&) {
        throw DescriptionError(origin + ": \"" + key + "\" has the wrong type");
    }
}

template <typename T>
T FieldOr(const json& object, const char* key, const std::string& origin, T fallback)
{
    return object.contains(key) ? Field<T>(object, key, origin) : fallback;
}

ReferenceUse ParseReferenceUse(const std::string& text, const std::string& origin)
{
    if (text == "none")
        return ReferenceUse::kNone;
    if (text == "reads")
        return ReferenceUse::kReads;
    if (text == "writes")
        return ReferenceUse::kWrites;
    throw DescriptionError(origin + ": \"reference_image\" must be none, reads or writes");
}

ParameterDescription ParseParameter(const json& p, const std::string& origin)
{
    ParameterDescription d;
    d.name = Field<std::string>(p, "name", origin);
    const std::string where = origin + ", parameter '" + d.name + "'";
    d.meaning = FieldOr<std::string>(p, "meaning", where, "");
    const std::string type = Field<std::string>(p, "type", where);
    if (type != "integer" && type != "float")
        throw DescriptionError(where + ": \"type\" must be integer or float");
    d.integer = type == "integer";
    d.unit = FieldOr<std::string>(p, "unit", where, "");
    d.defaultValue = Field<double>(p, "default", where);
    d.minimum = Field<double>(p, "minimum", where);
    d.maximum = Field<double>(p, "maximum", where);
    if (!(d.minimum <= d.defaultValue && d.defaultValue <= d.maximum))
        throw DescriptionError(where + ": the default lies outside the range");
    return d;
}

ParameterFileDescription ParseParameterFile(const json& f, const std::string& origin)
{
    if (!f.is_object())
        throw DescriptionError(origin + ": \"parameter_file\" is not an object");
    ParameterFileDescription d;
    d.fileName = Field<std::string>(f, "file", origin);
    d.folder = FieldOr<std::string>(f, "folder", origin, "desktop");
    d.format = FieldOr<std::string>(f, "format", origin, "");
    if (d.fileName.empty() || d.fileName.find('/') != std::string::npos)
        throw DescriptionError(origin + ": \"file\" must be a plain file name");
    const json& parameters = f.at("parameters");
    if (!parameters.is_array() || parameters.empty())
        throw DescriptionError(origin + ": \"parameters\" must be a non-empty list");
    for (const json& p : parameters)
        d.parameters.push_back(ParseParameter(p, origin));
    return d;
}

// Mode 17 (grey float) is named as the host names grey with depth 32.
std::string ModeLabel(int mode)
{
    return ModeName(mode, mode == 17 ? 32 : 8);
}

// Shortest text that reads back, through a double narrowed to float as the
// filters read numbers, as the same float.
std::string FloatText(float value)
{
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    std::string shortest(text, ec == std::errc() ? end : text);
    if (!shortest.empty() && static_cast<float>(std::atof(shortest.c_str())) == value)
        return shortest;
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

std::string RangeText(const ParameterDescription& p)
{
    std::ostringstream text;
    text << p.minimum << " to " << p.maximum;
    if (!p.unit.empty())
        text << " (" << p.unit << ")";
    return text.str();
}

ParameterValue CheckValue(const ParameterDescription& p, const std::string& text,
                          const std::string& plugin)
{
    ParameterValue v;
    v.name = p.name;
    v.integer = p.integer;
    v.given = true;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (!text.empty() && *first == '+')
        ++first;
    const std::string refusal = plugin + ": " + p.name + "='" + text + "' is not ";
    double d = 0;
    const auto [end, ec] = std::from_chars(first, last, d, std::chars_format::general);
    if (ec != std::errc() || end != last || first == last || !std::isfinite(d))
        throw DescriptionError(refusal + (p.integer ? "a whole number" : "a number"));
    if (p.integer && d != std::trunc(d))
        throw DescriptionError(refusal + "a whole number");
    v.value = d;
    if (!(p.minimum <= v.value && v.value <= p.maximum))
        throw DescriptionError(plugin + ": " + p.name + "=" + text + " is out of range (" +
                               RangeText(p) + ")");
    return v;
}

void FillText(ParameterValue& v)
{
    if (v.integer) {
        v.text = std::to_string(static_cast<long long>(v.value));
    } else {
        v.text = FloatText(static_cast<float>(v.value));
        v.value = std::atof(v.text.c_str());
    }
}

std::string NameList(const ParameterFileDescription& file)
{
    std::string names;
    for (const auto& p : file.parameters)
        names += (names.empty() ? "" : ", ") + p.name;
    return names;
}

const ParameterFileDescription& RequireParameterFile(const PluginDescription& description)
{
    if (!description.parameterFile)
        throw DescriptionError(description.name + " takes no parameters");
    return *description.parameterFile;
}

// The filter's tokens: ended by a line end, tab, comma or blank; form feed
// and NUL dropped; a line feed right after a carriage return belongs to it.
// The text after the last delimiter is a token only when not empty, as the
// filter then reads the end of the file.
std::vector<std::string> Tokens(const std::string& text)
{
    std::vector<std::string> tokens;
    std::string token;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\f' || c == '\0')
            continue;
        if (c == '\r' || c == '\n' || c == '\t' || c == ',' || c == ' ') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            tokens.push_back(token);
            token.clear();
            continue;
        }
        token += c;
    }
    if (!token.empty())
        tokens.push_back(token);
    return tokens;
}

}  // namespace

PluginDescription ParsePluginDescription(const std::string& text, const std::string& origin)
{
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        throw DescriptionError(origin + ": not valid JSON (" + e.what() + ")");
    }
    if (!j.is_object())
        throw DescriptionError(origin + ": not a JSON object");
    PluginDescription d;
    d.name = Field<std::string>(j, "name", origin);
    d.menuName = FieldOr<std::string>(j, "menu_name", origin, d.name);
    d.category = FieldOr<std::string>(j, "category", origin, "");
    d.about = FieldOr<std::string>(j, "about", origin, "");
    d.summary = FieldOr<std::string>(j, "summary", origin, "");
    d.imageModes = Field<std::vector<int>>(j, "image_modes", origin);
    d.reference =
        ParseReferenceUse(FieldOr<std::string>(j, "reference_image", origin, "none"), origin);
    if (j.contains("parameter_file")) {
        try {
            d.parameterFile = ParseParameterFile(j["parameter_file"], origin);
        } catch (const json::exception& e) {
            throw DescriptionError(origin + ": " + e.what());
        }
    }
    return d;
}

std::optional<PluginDescription> LoadPluginDescription(const fs::path& module)
{
    fs::path file = module;
    file.replace_extension(".json");
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return std::nullopt;
    std::string text;
    try {
        text = ReadWholeFile(file);
    } catch (const std::runtime_error& e) {
        throw DescriptionError(e.what());
    }
    return ParsePluginDescription(text, file.string());
}

int InterfaceMode(const Image& image)
{
    return image.mode == plugInModeGrayScale && image.depth == 32 ? 17 : image.mode;
}

bool OffersMode(const PluginDescription& description, const Image& image)
{
    const int mode = InterfaceMode(image);
    for (int offered : description.imageModes)
        if (offered == mode)
            return true;
    return false;
}

std::string OfferedModesText(const PluginDescription& description)
{
    std::string text;
    for (int mode : description.imageModes)
        text += (text.empty() ? "" : ", ") + ModeLabel(mode);
    return text;
}

std::vector<ParameterValue> ResolveParameters(const PluginDescription& description,
                                              const std::map<std::string, std::string>& values)
{
    const ParameterFileDescription& file = RequireParameterFile(description);
    for (const auto& [name, text] : values) {
        bool known = false;
        for (const auto& p : file.parameters)
            known = known || p.name == name;
        if (!known)
            throw DescriptionError(description.name + " has no parameter '" + name + "' (it has " +
                                   NameList(file) + ")");
    }
    std::vector<ParameterValue> resolved;
    for (const auto& p : file.parameters) {
        ParameterValue v;
        const auto it = values.find(p.name);
        if (it != values.end()) {
            v = CheckValue(p, it->second, description.name);
        } else {
            v.name = p.name;
            v.integer = p.integer;
            v.value = p.defaultValue;
        }
        FillText(v);
        resolved.push_back(v);
    }
    return resolved;
}

std::vector<ParameterValue> WriteParameterFile(const PluginDescription& description,
                                               const std::map<std::string, std::string>& values,
                                               const fs::path& desktopDir)
{
    std::vector<ParameterValue> resolved = ResolveParameters(description, values);
    std::string text;
    for (const auto& v : resolved)
        text += v.text + "\r\n";  // the line end the filters write themselves
    const fs::path target = desktopDir / description.parameterFile->fileName;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write the parameter file '" + target.string() + "'");
    return resolved;
}

std::map<std::string, std::string> ReadParameterFile(const PluginDescription& description,
                                                     const fs::path& file)
{
    const ParameterFileDescription& wanted = RequireParameterFile(description);
    const std::vector<std::string> tokens = Tokens(ReadWholeFile(file));
    const size_t count = wanted.parameters.size();
    if (tokens.size() < count)
        throw DescriptionError("'" + file.string() + "' holds " + std::to_string(tokens.size()) +
                               " number(s); " + description.name + " reads " +
                               std::to_string(count) + ": " + NameList(wanted));
    std::map<std::string, std::string> values;
    for (size_t i = 0; i < count; ++i)  // the filter reads an empty field as 0
        values[wanted.parameters[i].name] = tokens[i].empty() ? "0" : tokens[i];
    return values;
}

const char* ReferenceUseName(ReferenceUse use)
{
    switch (use) {
    case ReferenceUse::kReads:
        return "reads";
    case ReferenceUse::kWrites:
        return "writes";
    default:
        return "none";
    }
}

}  // namespace host
