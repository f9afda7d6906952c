// JSON as the front end prints it: an array with one object to a line,
// `"name": value` pairs separated by ", ".
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

using Json = nlohmann::ordered_json;

// Bytes that are not UTF-8 (an identifier as typed or as a registry holds
// it) show as U+FFFD instead of throwing.
inline std::string jsonValue(const Json& value) {
    if (!value.is_object()) return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string text = "{";
    for (const auto& [name, item] : value.items())
        text += (text.size() > 1 ? ", " : "") + jsonValue(Json(name)) + ": " + jsonValue(item);
    return text + "}";
}

inline std::string jsonText(const Json& array) {
    std::string text = "[";
    for (const Json& item : array) text += (text.size() > 1 ? ",\n  " : "\n  ") + jsonValue(item);
    return text + (array.empty() ? "]\n" : "\n]\n");
}

}  // namespace cli
