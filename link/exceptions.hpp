// Errors of the board link, and the error the stages raise when the board
// needs a reset. Each carries one message text; all share link_error, whose
// type_name() is the error's own class name, as the program reports it.
#pragma once

#include <exception>
#include <string>

class link_error : public std::exception {
public:
    const char* what() const noexcept override { return message_.c_str(); }
    // The class name of the error, e.g. "exception_reset".
    virtual const char* type_name() const noexcept = 0;

protected:
    explicit link_error(const std::string& message) : message_(message) {}

private:
    std::string message_;
};

#define VISIONDEMO_LINK_ERROR(name)                                          \
    class name : public link_error {                                         \
    public:                                                                  \
        explicit name(const std::string& message = std::string())           \
            : link_error(message) {}                                         \
        const char* type_name() const noexcept override { return #name; }    \
    };

VISIONDEMO_LINK_ERROR(exception_reset)
VISIONDEMO_LINK_ERROR(exception_writeerror)
VISIONDEMO_LINK_ERROR(exception_inittimeout)
VISIONDEMO_LINK_ERROR(exception_readtimeout)
VISIONDEMO_LINK_ERROR(exception_writeackerror)
VISIONDEMO_LINK_ERROR(exception_writeacktimeout)

#undef VISIONDEMO_LINK_ERROR
