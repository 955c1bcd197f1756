#pragma once
// A quick reading of the common shape of control messages: one flat object
// whose values are plain ASCII strings without escapes, integers, booleans or
// null. An upload chunk is mostly one long base64 string, which the general
// parser copies character by character; here it is found with one search.
// Anything outside that shape gives nothing, and the caller parses it the
// general way, so results never differ from nlohmann::json::parse.
#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

std::optional<nlohmann::json> parseFlatObject(std::string_view text);
