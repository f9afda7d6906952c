// JSON as the front end prints it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

// Indented, with a newline after. Bytes that are not UTF-8 (an identifier
// as typed or as a registry holds it) show as U+FFFD instead of throwing.
inline std::string jsonText(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace cli
