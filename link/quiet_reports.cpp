#include "link/quiet_reports.hpp"

namespace {

thread_local int quiet_depth = 0;

}  // namespace

QuietLinkReports::QuietLinkReports() { ++quiet_depth; }

QuietLinkReports::~QuietLinkReports() { --quiet_depth; }

bool link_reports_quiet() { return quiet_depth > 0; }
