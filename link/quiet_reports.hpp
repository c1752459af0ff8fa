// Silences the link's lines for the calls a thread makes while one of these
// lives on it: the reports of unanswered requests and the lines of init. For
// the questions of a wait for a booting board, which go unanswered by design
// and would otherwise print a block each.
#pragma once

class QuietLinkReports {
public:
    QuietLinkReports();
    ~QuietLinkReports();
    QuietLinkReports(const QuietLinkReports&) = delete;
    QuietLinkReports& operator=(const QuietLinkReports&) = delete;
};

// Whether the calling thread's link lines are left out now.
bool link_reports_quiet();
