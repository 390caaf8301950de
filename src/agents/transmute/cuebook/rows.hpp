// The 133 marker rows as plain data, in table order (generated into rows.inc by gen_rows.py).
// Tested in tests/test_cuebook.py.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace cuebook {

// The platform constants, in the order the module imports them after `Marker`.
// Enumerators carry the constant's name without its PLATFORM_ prefix.
enum class Platform : uint8_t {
    DATABRICKS,
    SNOWFLAKE,
    POSTGRESQL,
    MYSQL,
    SQLSERVER,
    ORACLE,
    REDSHIFT,
    BIGQUERY,
    TERADATA,
    HIVE,
};
inline constexpr std::size_t kPlatformCount = 10;

// Whether a row passes corroborating_only, and with which value.
enum class Corroborating : uint8_t { NotPassed, No, Yes };

struct Row {
    const char* id;
    std::array<Platform, kPlatformCount> platforms;  // the first platform_count are used
    uint8_t platform_count;
    const char* confidence;
    const char* scope;  // nullptr: the row does not pass scope
    Corroborating corroborating_only;
    const char* pattern;
};

inline constexpr Row kRows[] = {
#include "rows.inc"
};

inline constexpr std::size_t kRowCount = 133;
static_assert(std::size(kRows) == kRowCount, "rows.inc must hold every row of PLATFORM_MARKERS");

}  // namespace cuebook
