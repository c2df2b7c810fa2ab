#pragma once
// Waits while the event loop runs until a value reaches what a test expects.
// Qt's QTRY_ macros report a timeout to QTest's own result log and return,
// which a gtest case counts as a pass; this one fails the case instead.
#include <QTest>
#include <gtest/gtest.h>

#define UI_WAIT_EQ(actual, expected, timeoutMs)                                    \
    do {                                                                           \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, (timeoutMs));      \
        ASSERT_EQ((actual), (expected));                                           \
    } while (0)
