#pragma once
// Expected texts shared by end-to-end tests, and masking of run-dependent parts.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Banner and usage, printed first on every run.
std::string banner_and_usage();

// The line that gives the system's reason for a failure, as the build under
// test writes it: "  (<posix_text>)\n". The Windows build words its reasons
// its own way, so there (see run_rawgraft) any reason reads as
// "  (system reason)\n".
std::string reason(std::string_view posix_text);

inline constexpr std::string_view timestamp_placeholder = "YYYYMMDD_HHMMSS";

// Every "%Y%m%d_%H%M%S" stamp in `text` (8 digits, "_", 6 digits, not inside a
// longer run of digits), in order of appearance.
std::vector<std::string> find_timestamps(std::string_view text);
// `text` with each such stamp replaced by timestamp_placeholder.
std::string mask_timestamps(std::string_view text);

// Whether `text` ends with `message` and then the system's reason on a line
// of its own, "  (...)\n"; the reason's words differ between systems.
bool ends_with_reason(std::string_view text, std::string_view message);

// The stamp of the moment `t`, in the local time zone or in UTC.
enum class stamp_zone { local, utc };
std::string timestamp_at(std::time_t t, stamp_zone zone);

}  // namespace testsupport
