// Construction checks and the configuration values that would make the link
// divide by zero.
#include "link/exceptions.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "tests/support/fatal.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

void construct(uint32_t ddr, uint32_t fabric, uint32_t write_offset) {
    UDPInterfaceEthernet link(ddr, fabric, 4, write_offset, false);
}

TEST(LinkConfig, UpperLimitsAreCheckedInOrderAndOnlyTheFirstIsReported) {
    EXPECT_NO_THROW(construct(16384, 64, 8));
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { construct(16385, 65, 9); }),
                "^ERROR: UDP Interface: invalid configuration\n"
                "\tconfiguration error:\tddr_payload_size > MAX_DATA_PAYLOAD_DDR\n"
                "\t\tMAX_DATA_PAYLOAD_DDR:\t16384\n"
                "\t\tddr_payload_size:    \t16385\n$"));
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { construct(8192, 65, 9); }),
                "^ERROR: UDP Interface: invalid configuration\n"
                "\tconfiguration error:\tfabric_payload_size > MAX_DATA_PAYLOAD_FABRIC\n"
                "\t\tMAX_DATA_PAYLOAD_FABRIC:\t64\n"
                "\t\tfabric_payload_size:    \t65\n$"));
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { construct(8192, 64, 9); }),
                "^ERROR: UDP Interface: invalid configuration\n"
                "\tconfiguration error:\twrite_offset > MAX_WRITE_OFFSET\n"
                "\t\tMAX_WRITE_OFFSET:\t8\n"
                "\t\twrite_offset:    \t9\n$"));
}

TEST(LinkConfig, PayloadSizesThatAreNotPositiveWordMultiplesAreRefused) {
    for (uint32_t bad : {0u, 2u, 8190u}) {
        EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { construct(bad, 64, 8); }),
                    "^ERROR: UDP Interface: invalid configuration\n"
                    "\tconfiguration error:\tddr_payload_size is not a positive multiple of 4\n"
                    "\t\tDATA_WORD_SIZE:\t4\n"
                    "\t\tddr_payload_size:    \t" + std::to_string(bad) + "\n$"));
    }
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { construct(8192, 0, 8); }),
                "fabric_payload_size is not a positive multiple of 4"));
    EXPECT_NO_THROW(construct(4, 4, 0));
}

TEST(LinkConfig, WriteRateLimitZeroIsRefusedBeforeAnySocketIsOpened) {
    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { link.init("127.0.0.1", 9, 0); }),
                "^ERROR: UDP Interface: invalid configuration\n"
                "\tconfiguration error:\twrite_rate_limit == 0\n"
                "\t\tMIN_WRITE_RATE_LIMIT:\t1\n"
                "\t\twrite_rate_limit:    \t0\n$"));
}

TEST(LinkConfig, StreamReadOfTheFabricEndsTheProgram) {
    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    uint32_t word = 0;
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { link._udp_read_stream(&word, 0, 1, false); }),
                "^ERROR: UDP Interface: udp read stream is not supported for fabric reads\n$"));
}

// An address that is not dotted IPv4 text parses as the broadcast address,
// which a socket may not connect to: the connect failure is reported and
// the init request then has nowhere to go.
TEST(LinkConfig, UnusableAddressReportsConnectFailureThenSendFailure) {
    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        link.init("board.invalid", 2000, 100);
        ADD_FAILURE() << "no exception";
    } catch (const exception_writeerror& e) {
        EXPECT_STREQ(e.what(), "");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Starting client application\nSocket init success\n");
    EXPECT_EQ(err, std::string("Connect call failed.: ") + std::strerror(EACCES) +
                       "\nERROR: UDP Interface: write init failed \n\tLast socket error:\t" + std::to_string(EDESTADDRREQ) +
                       "\n");
    EXPECT_EQ(link.get_write_pace_us(), 78);
}

// The program reports an escaped link error by its class name: a type left out
// of the common base would be reported as a plain std::exception, a misspelt
// name would mislead whoever reads the report.
template <class Error>
void expect_caught_by_base_as(const char* name) {
    try {
        throw Error("detail");
    } catch (const link_error& error) {
        EXPECT_STREQ(error.type_name(), name);
        EXPECT_STREQ(error.what(), "detail");
        return;
    }
}

TEST(LinkErrors, EachIsCaughtByTheCommonBaseUnderItsOwnName) {
    expect_caught_by_base_as<exception_reset>("exception_reset");
    expect_caught_by_base_as<exception_writeerror>("exception_writeerror");
    expect_caught_by_base_as<exception_inittimeout>("exception_inittimeout");
    expect_caught_by_base_as<exception_readtimeout>("exception_readtimeout");
    expect_caught_by_base_as<exception_writeackerror>("exception_writeackerror");
    expect_caught_by_base_as<exception_writeacktimeout>("exception_writeacktimeout");
    EXPECT_STREQ(exception_reset().what(), "");
}

}  // namespace
