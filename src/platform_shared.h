// What both systems' platform files share; not for the rest of the tool.
#pragma once

#include <vector>

#include "platform.h"

namespace platform {
// Sorted by name in byte order, so that every system sees one order.
void sort_by_name(std::vector<folder_entry>& list);
bool is_dot_entry(const char* name);
}  // namespace platform
