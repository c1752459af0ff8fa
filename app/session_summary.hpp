// The lines the programs end with, whatever the status: the heading
// "INFO: Session summary" and one tab-separated line per counter and figure
// of the session's health, "\t<name>:\t<value>".
#pragma once

#include "link/link_counters.hpp"

#include <string>

std::string session_summary(const NamedValues& values);
