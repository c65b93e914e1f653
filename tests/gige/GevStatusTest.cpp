// Status names and the mapping of library statuses to SDK status codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "gige/GevSocketStatus.h"
#include "gige/GevStatus.h"
#include "Net/UdpSocket.h"
#include "SimGevDevice.h"

namespace {
std::string nameOf(GevStatus s) {
    char text[GEV_STATUS_NAME_SIZE] = {};
    gevStatusName(7, s, text);
    return text;
}
} // namespace

TEST(GevStatus, NamesOfDeviceCodes) {
    EXPECT_EQ(nameOf(0x8001), "STATUS_NOT_IMPLEMENTED");
    EXPECT_EQ(nameOf(0x8006), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(nameOf(0x8011), "STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY");
    EXPECT_EQ(nameOf(0x8012), "STATUS_PACKET_REMOVED_FROM_MEMORY");
    EXPECT_EQ(nameOf(0x8FFF), "STATUS_ERROR");
}

TEST(GevStatus, NamesOfLibraryCodes) {
    EXPECT_EQ(nameOf(0xC001), "STATUS_CAMERA_NOT_INIT");
    EXPECT_EQ(nameOf(0xC008), "STATUS_TIMEOUT");
    EXPECT_EQ(nameOf(0xC01C), "STATUS_CLINK_REVEICE_BUFFER_NO_DATA");
    EXPECT_EQ(nameOf(0xC02B), "STATUS_ALREADY_OPEN");
    EXPECT_EQ(nameOf(0xC032), "GET_MANIFEST_TABLE_ERROR");
    EXPECT_EQ(nameOf(0xC033), "DEPRECATED");
    EXPECT_EQ(nameOf(0xC034), "BUFFERS_NOT_INI");
}

TEST(GevStatus, UnnamedCodesAreUnknown) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(nameOf(0), "UNKNOWN");
    EXPECT_EQ(nameOf(0xC011), "UNKNOWN");
    EXPECT_EQ(nameOf(0xC031), "UNKNOWN");
    EXPECT_EQ(nameOf(0xC035), "UNKNOWN");
    EXPECT_EQ(nameOf(0x8013), "UNKNOWN");
    EXPECT_EQ(nameOf(0x8FFE), "UNKNOWN");
    EXPECT_EQ(nameOf(0xC006), "UNKNOWN");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("error: C035"), std::string::npos);
    EXPECT_NE(out.find("error: 8013"), std::string::npos);
}

TEST(GevStatus, EveryNameFitsItsBuffer) {
    for (uint32_t s = 0; s <= 0xFFFF; ++s) {
        if (s != 0x8001 && (s < 0xC001 || s > 0xC034) && (s < 0x8001 || s > 0x8012) && s != 0x8FFF) continue;
        testing::internal::CaptureStdout();
        std::string n = nameOf(static_cast<GevStatus>(s));
        testing::internal::GetCapturedStdout();
        EXPECT_LT(n.size(), size_t(GEV_STATUS_NAME_SIZE));
    }
}

TEST(GevStatus, MappingTable) {
    EXPECT_EQ(gevStatusToError(0), 0u);
    EXPECT_EQ(gevStatusToError(0x8001), 0x80000200u);
    EXPECT_EQ(gevStatusToError(0x8003), 0x80000201u);
    EXPECT_EQ(gevStatusToError(0x8004), 0x80000202u);
    EXPECT_EQ(gevStatusToError(0x8006), 0x80000203u);
    for (GevStatus s : {0x8007, 0xC002, 0xC02B}) EXPECT_EQ(gevStatusToError(s), 0x80000204u) << std::hex << s;
    for (GevStatus s : {0x800C, 0x8010, 0x8011, 0x8012}) EXPECT_EQ(gevStatusToError(s), 0x80000205u) << std::hex << s;
    EXPECT_EQ(gevStatusToError(0xC031), 0x80000206u);
    for (GevStatus s : {0xC003, 0xC009, 0xC00C}) EXPECT_EQ(gevStatusToError(s), 0x80000207u) << std::hex << s;
    EXPECT_EQ(gevStatusToError(0xC008), 0x80000208u);
    EXPECT_EQ(gevStatusToError(0xC001), 0x80000002u);
}

TEST(GevStatus, EverythingElseIsGeneralGigeFailure) {
    // An invalid parameter from the camera is a GigE failure, not an argument error.
    EXPECT_EQ(gevStatusToError(0x8002), 0x800002FFu);
    for (GevStatus s : {0x8005, 0x800D, 0x8013, 0x8FFE, 0x8FFF, 0xC004, 0xC00A, 0xC020, 0xC035, 0xFFFF})
        EXPECT_EQ(gevStatusToError(s), 0x800002FFu) << std::hex << s;
}

// What the sockets answer becomes one status everywhere: a wait that times out, a receive that
// finds nothing after all (the caller waits again, it must not end the transaction) and real
// failures, as a loopback socket gives them.
TEST(GevStatus, SocketAnswersMapToTheirStatuses) {
    using qx::gige::gevSocketStatus;
    qx::net::UdpSocket rx, tx;
    ASSERT_EQ(rx.open(qx::fixture::ipv4("127.0.0.1"), 0), 0);
    ASSERT_EQ(tx.open(qx::fixture::ipv4("127.0.0.1"), 0), 0);
    uint16_t port = 0;
    ASSERT_EQ(rx.localPort(&port), 0);
    uint8_t buffer[16] = {};

    EXPECT_EQ(gevSocketStatus(rx.waitReadable(0)), GEV_STATUS_TIMEOUT);
    const qx::net::Datagram none = rx.receive(buffer, sizeof buffer);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(gevSocketStatus(none), GEV_STATUS_SUCCESS) << "nothing queued: wait again, errno " << none.error;

    ASSERT_EQ(tx.sendTo(qx::fixture::ipv4("127.0.0.1"), port, "ping", 4), 4);
    EXPECT_EQ(gevSocketStatus(rx.waitReadable(5000)), GEV_STATUS_SUCCESS);
    const qx::net::Datagram got = rx.receive(buffer, sizeof buffer);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(gevSocketStatus(got), GEV_STATUS_SUCCESS);

    EXPECT_EQ(gevSocketStatus(qx::net::WaitResult::Error), GEV_STATUS_SOCKET_ERROR);
    qx::net::Datagram failed;
    failed.error = ECONNREFUSED;
    EXPECT_EQ(gevSocketStatus(failed), GEV_STATUS_RECEIVE_ERROR);
    failed.error = 0; // no errno but no datagram either
    EXPECT_EQ(gevSocketStatus(failed), GEV_STATUS_RECEIVE_ERROR);
}
