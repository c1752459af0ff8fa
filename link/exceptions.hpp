// Errors of the board link, and the error the stages raise when the board
// needs a reset. Each carries one message text.
#pragma once

#include <exception>
#include <string>

#define VISIONDEMO_LINK_ERROR(name)                                         \
    class name : public std::exception {                                    \
    public:                                                                 \
        explicit name(const std::string& message = std::string())          \
            : message_(message) {}                                          \
        const char* what() const noexcept override { return message_.c_str(); } \
                                                                            \
    private:                                                                \
        std::string message_;                                               \
    };

VISIONDEMO_LINK_ERROR(exception_reset)
VISIONDEMO_LINK_ERROR(exception_writeerror)
VISIONDEMO_LINK_ERROR(exception_inittimeout)
VISIONDEMO_LINK_ERROR(exception_readtimeout)
VISIONDEMO_LINK_ERROR(exception_writeackerror)
VISIONDEMO_LINK_ERROR(exception_writeacktimeout)

#undef VISIONDEMO_LINK_ERROR
