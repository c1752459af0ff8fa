// The lines of one link report are collected and written in one go, so the
// reports of two threads do not mix line by line. A quiet thread's reports
// are left out. Internal to the link: the exchanges and the transfers both
// report through it.
#pragma once

#include "link/quiet_reports.hpp"

#include <ostream>
#include <sstream>

class LinkReport {
public:
    explicit LinkReport(std::ostream& stream) : stream_(stream) {}
    ~LinkReport() {
        if (link_reports_quiet()) return;
        stream_ << text_.str();
        stream_.flush();
    }
    LinkReport(const LinkReport&) = delete;
    LinkReport& operator=(const LinkReport&) = delete;

    template <class T>
    LinkReport& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    std::ostream& stream_;
    std::ostringstream text_;
};
