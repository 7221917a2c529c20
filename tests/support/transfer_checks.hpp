#pragma once
// Checks shared by the export, import and rewrite tests. Header-only: it
// uses gtest assertions, which the support library does not link.

#include <gtest/gtest.h>

#include <string>

#include "support/run.hpp"

namespace testsupport {

// The run printed `before` on standard error, then exactly one
// "consistency check failed: <condition>" line, then `after`, and exited
// with status 1.
inline void expect_consistency_stop(const run_result& r, const std::string& before,
                                    const std::string& after = "") {
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_FALSE(r.timed_out);
  ASSERT_EQ(r.err.substr(0, before.size()), before) << r;
  ASSERT_TRUE(r.err.ends_with(after)) << r;
  const std::string rest = r.err.substr(before.size(), r.err.size() - before.size() - after.size());
  const std::string stop = "consistency check failed: ";
  EXPECT_EQ(rest.substr(0, stop.size()), stop) << r;
  EXPECT_GT(rest.size(), stop.size() + 1) << "the failed condition is not named\n" << r;
  EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "output after the stop line\n" << r;
}

}  // namespace testsupport
