#pragma once
// Whole numbers from received JSON. A value that is not a JSON number, has a
// fraction, or lies outside the target range (1e300) is not a number: the
// caller's default applies rather than a wrapped or saturated value.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

inline std::optional<int64_t> jsonInt64(const nlohmann::json& v) {
  if (v.is_number_unsigned()) {
    auto u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    double d = v.get<double>();
    // 2^63 itself is out of range; -2^63 is in.
    if (!std::isfinite(d) || d != std::trunc(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
      return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

inline std::optional<int32_t> jsonInt32(const nlohmann::json& v) {
  auto n = jsonInt64(v);
  if (!n || *n < std::numeric_limits<int32_t>::min() || *n > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*n);
}
