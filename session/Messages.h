#pragma once
// Builders for the host's control messages and the binary video packet.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

std::string helloMessage(bool test, bool ax, bool screen, const std::string& name);
std::string appMessage(const std::string& name);
std::string configMessage(const std::string& codec, const std::vector<uint8_t>& desc, int w, int h);
std::string errorMessage(const std::string& code, const std::string& msg);
std::string warnMessage(const std::string& code, const std::string& msg);

// kind 1, key flag, big-endian double capture time, id count, big-endian ids,
// then the frame. At most 255 ids fit the count byte; extras are left out.
std::vector<uint8_t> videoPacket(const std::vector<uint8_t>& frame, bool key, double captureMs,
                                 const std::vector<uint32_t>& ids);

// A received control message: an object with a string "t", else nothing.
std::optional<nlohmann::json> parseControl(const std::string& text);
// A numeric field, 0 (or dflt) when missing or not a number.
double numField(const nlohmann::json& m, const char* key, double dflt = 0);
std::string strField(const nlohmann::json& m, const char* key, const std::string& dflt = "");
