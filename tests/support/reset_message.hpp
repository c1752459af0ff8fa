// What exception_reset a call ends with, for tests that check its exact text.
#pragma once

#include "link/exceptions.hpp"

#include <string>

// The message of the exception_reset that `act` raises; "no exception_reset"
// when it returns instead.
template <class Act>
std::string reset_message(Act&& act) {
    try {
        act();
    } catch (const exception_reset& error) {
        return error.what();
    }
    return "no exception_reset";
}
