#pragma once
#include <nlohmann/json.hpp>
#include <functional>
#include <string>

// One line to standard output, flushed at once; safe from any thread.
void logf(const std::string& text);
// Tests see every logged line (without its line feed) here; nothing to unset.
void setLogTap(std::function<void(const std::string&)> tap);

// Appends one line (the caller adds the line feed) to a journal: a single
// O_APPEND write so lines from several writers never interleave. Failures are
// ignored: journals must never disturb the session.
void journalAppend(const std::string& path, const std::string& line);

// Compact JSON with sorted keys, or "{}" when the value cannot be serialised
// (invalid UTF-8 in a string).
std::string jsonText(const nlohmann::json& value);

// Current UTC time as "2026-12-08T17:58:25Z".
std::string isoNowUTC();

// Current wall-clock time in milliseconds since the Unix epoch.
double epochMs();

// Appends a record with "time" to the connection journal and echoes it.
void connectLog(nlohmann::json record);
