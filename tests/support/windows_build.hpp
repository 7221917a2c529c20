#pragma once
// Tests that need what only a POSIX system offers skip themselves against
// the Windows build, saying why. Header-only: GTEST_SKIP returns from the
// test body, so it cannot sit in a function of the support library.

#include <gtest/gtest.h>

#include "support/run.hpp"

// The empty branch keeps a following `else` from binding to this `if`.
#define SKIP_ON_WINDOWS_BUILD(reason)    \
  if (!::testsupport::windows_build()) { \
  } else                                 \
    GTEST_SKIP() << "Windows build: " << (reason)
