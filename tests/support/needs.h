#pragma once
// What a test does when something it needs from outside is missing: a sound server that
// cannot start, no General MIDI soundfont, a program that scripts/install-deps installs.
// On a CI runner (CI=true), where scripts/install-deps has run, that is a failure: the
// test must not pass by not running. On a developer's machine it is a skip, with the
// reason. The same decision for GoogleTest and Qt Test: each has its macro below, used
// where the test would give up.

#include <cstdlib>
#include <string_view>

namespace tambrel::testing {

// Whether this run is the CI runner's, where every need is installed.
inline bool missingNeedFails() noexcept {
    const char* ci = std::getenv("CI");
    return ci != nullptr && (std::string_view(ci) == "true" || std::string_view(ci) == "1");
}

} // namespace tambrel::testing

// In a GoogleTest test or its SetUp: fails or skips it, with `reason` (streamable).
#define TAMBREL_MISSING_NEED(reason)                                                               \
    do {                                                                                           \
        if (::tambrel::testing::missingNeedFails()) {                                              \
            GTEST_FAIL() << "CI=true and " << reason;                                              \
        }                                                                                          \
        GTEST_SKIP() << reason;                                                                    \
    } while (false)

// In a Qt Test slot: fails or skips it, with `reason` (a QString).
#define TAMBREL_QT_MISSING_NEED(reason)                                                            \
    do {                                                                                           \
        if (::tambrel::testing::missingNeedFails()) {                                              \
            QFAIL(qPrintable(QStringLiteral("CI=true and ") + (reason)));                          \
        }                                                                                          \
        QSKIP(qPrintable(reason));                                                                 \
    } while (false)
