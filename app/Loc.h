#pragma once
#include <optional>
#include <string>

// User-facing texts. Keys are the English texts; the Japanese catalogue is a
// gettext catalogue of the "tolvane-host" domain.
namespace Loc {
// Forces a language ("ja", "en", ...); nothing means the user's locale.
void setForced(const std::optional<std::string>& lang);
std::string tr(const std::string& key);
// printf-style fill of the one "%@" or "%d" a text may hold.
std::string fill(const std::string& text, const std::string& value);
}  // namespace Loc
