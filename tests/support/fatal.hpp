// Checks of the fatal ends: what the program would write for the
// exception_fatal that a piece of code raises.
#pragma once

#include "platform/fatal_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace fatal {

// The text (lines with their line breaks) of the exception_fatal `body`
// raises, when it goes to the error stream; a test failure and "(none)"
// when `body` raises none or writes to standard output.
template <class Body>
std::string error_text(Body&& body) {
    try {
        body();
    } catch (const exception_fatal& error) {
        EXPECT_EQ(error.stream(), exception_fatal::Stream::error) << error.text();
        return error.text();
    }
    ADD_FAILURE() << "no exception_fatal raised";
    return "(none)";
}

// The same for a fatal end written to standard output.
template <class Body>
std::string output_text(Body&& body) {
    try {
        body();
    } catch (const exception_fatal& error) {
        EXPECT_EQ(error.stream(), exception_fatal::Stream::output) << error.text();
        return error.text();
    }
    ADD_FAILURE() << "no exception_fatal raised";
    return "(none)";
}

}  // namespace fatal

namespace fatal {

// True when `pattern` (a POSIX extended expression, as death tests use)
// matches somewhere in `text`.
inline testing::AssertionResult contains_regex(const std::string& text, const std::string& pattern) {
    if (testing::internal::RE::PartialMatch(text, testing::internal::RE(pattern)))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "text:\n" << text << "\ndoes not match:\n" << pattern;
}

}  // namespace fatal
