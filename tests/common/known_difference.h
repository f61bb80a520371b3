// Known platform differences: where Wine's implementation of the Win32 libraries misses
// Windows behaviour, the win64 leg marks that one expectation, the way Wine's own tests
// mark todo_wine. Where the win32 leg's emulation cannot run an expectation at all, it is
// marked with its reason too, and runs as usual everywhere else.
#pragma once
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "test_support.h"

// `expectation` is one GoogleTest EXPECT_* statement of Windows behaviour. Under Wine a
// failure of it is reported as a known platform difference (a "[ KNOWN    ]" line and the
// test property "known_wine_difference") and does not fail the test; everywhere else it is
// an ordinary expectation whose failure also shows the reason. The expectation sees the
// thread's last error as the calls before it left it.
#define EXPECT_WINDOWS(expectation, reason)                                             \
  do {                                                                                  \
    const DWORD known_last_error_ = GetLastError();                                     \
    if (::lumox_test::UnderWine()) {                                                    \
      ::testing::TestPartResultArray known_results_;                                    \
      {                                                                                 \
        ::testing::ScopedFakeTestPartResultReporter known_reporter_(                    \
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, \
            &known_results_);                                                           \
        SetLastError(known_last_error_);                                                \
        expectation;                                                                    \
      }                                                                                 \
      if (known_results_.size() > 0)                                                    \
        ::lumox_test::NoteKnownDifference(__FILE__, __LINE__, reason);                  \
    } else {                                                                            \
      SCOPED_TRACE(::testing::Message() << "Wine differs here: " << (reason));          \
      SetLastError(known_last_error_);                                                  \
      expectation;                                                                      \
    }                                                                                   \
  } while (0)

// `expectation` relies on a memory fault reaching Windows code as an access violation that
// the called function catches. Under the win32 leg's emulation qemu hands Wine such a fault
// with no trap number, Wine raises an illegal-instruction exception instead and the process
// dies; there the expectation is not run and a "[ KNOWN    ]" line gives the reason.
#define EXPECT_UNLESS_EMULATED(expectation, reason)                      \
  do {                                                                   \
    if (::lumox_test::UnderEmulation()) {                                \
      ::lumox_test::NoteEmulationDifference(__FILE__, __LINE__, reason); \
    } else {                                                             \
      expectation;                                                       \
    }                                                                    \
  } while (0)
