// CSerialPort over simulated devices, in virtual time.
#include "tests/serial/sim_fixture.h"

namespace {

const std::wstring kInUse =
    L"\n\n The communications port may be in use at this time. Please choose another port or "
    L"close the application using the desired port.";

using SerialPortTest = SimPortTest;

TEST_F(SerialPortTest, OpenConfiguresTheLineAndReadsFollowTheTimeouts) {
    ASSERT_TRUE(OpenCom1());
    EXPECT_EQ(port_.m_dwBaud, 9600u);
    const host::SerialState state = com1_->NearState();
    EXPECT_EQ(state.baud, 9600u);
    EXPECT_EQ(state.flags, 0x1011u);  // binary, DTR and RTS raised, nothing else
    const host::SerialTimeouts timeouts = com1_->NearTimeouts();
    EXPECT_EQ(timeouts.read_interval_ms, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.write_constant_ms, 1000u);
    EXPECT_EQ(com1_->NearRxQueueBytes(), 1000u);
    EXPECT_EQ(com1_->NearTxQueueBytes(), 65536u);

    uint8_t buffer[255];
    com1_->FarWrite({'z', 'z'});
    EXPECT_EQ(port_.Read(buffer, 255), 2u);  // R = 0 after Open: at once with what waits
    ASSERT_TRUE(port_.SetTimeouts(100, 100));
    EXPECT_EQ(port_.Read(buffer, 255), 0u);
    EXPECT_EQ(clock_.now_us(), 100'000);
    EXPECT_EQ(port_.Read(buffer, -1), 0u);
    EXPECT_TRUE(ui_.Events().empty());
}

// Kept bits stay, flow control goes, handshake modes become plain 'raised'.
TEST_F(SerialPortTest, SetStateRewritesTheControlWordLikeOpen) {
    ASSERT_TRUE(OpenCom1());
    const uint32_t cases[][2] = {{0xFFFFFFFFu, 0xFFFF9493u},
                                 {0x00006BEEu, 0x00001093u},  // parity check, TX-continue kept
                                 {0x00002020u, 0x00001011u}};
    for (const auto& c : cases) {
        host::SerialState driver = com1_->NearState();
        driver.flags = c[0];
        ASSERT_TRUE(host::CurrentSerial().SetState(port_.m_hComm.load(), driver));
        ASSERT_TRUE(port_.SetState(460800, 4, 7, 2, false));
        const host::SerialState state = com1_->NearState();
        EXPECT_EQ(state.flags, c[1]) << std::hex << c[0];
        EXPECT_EQ(state.baud, 460800u);
        EXPECT_EQ(state.parity * 100 + state.byte_size * 10 + state.stop_bits, 472);
    }
}

TEST_F(SerialPortTest, OpenFailuresShowTheMessageForTheCode) {
    const std::pair<uint32_t, std::wstring> cases[] = {
        {2,
         L"Communication Port Not Found!\n\nThe communications port does not exist. Check "
         L"your system configuration on the status of this Communication port"},
        {5, L"Access Denied!" + kInUse},
        {31, L"Comm Open Error![31]" + kInUse}};
    for (const auto& [code, text] : cases) {
        host::ScriptedUi ui{clock_};
        host::Platform platform = host::Current();
        platform.ui = &ui;
        host::ScopedPlatform scoped(platform);
        com1_->FailOpen(code);
        EXPECT_FALSE(OpenCom1(true));
        EXPECT_TRUE(ui.Events().empty());
        EXPECT_FALSE(OpenCom1(false));
        EXPECT_EQ(port_.m_bError, 1);
        EXPECT_EQ(port_.m_hComm.load(), host::kInvalidSerial);
        ASSERT_EQ(ui.Events().size(), 1u);  // no beep
        const auto boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, L"GSM Updater");
        EXPECT_EQ(boxes[0].style, host::kMbOk | host::kMbIconStop);
    }
}

// A line setting that fails once the device is open: the message, and the device closed
// again, so that the next open is not refused by this port's own hold on it.
TEST_F(SerialPortTest, LineSettingFailuresBeepShowAndCloseWhatOpened) {
    SetAppTitle(L"Modem Update");
    const std::pair<void (host::SimLink::*)(bool), std::wstring> cases[] = {
        {&host::SimLink::FailGetState, L"Could not get comm state"},
        {&host::SimLink::FailSetState, L"Could not set communication state"}};
    for (const auto& [fail, text] : cases) {
        const size_t before = ui_.Events().size();
        const size_t boxes_before = ui_.Boxes().size();
        (com1_.get()->*fail)(true);
        EXPECT_FALSE(OpenCom1());
        EXPECT_EQ(port_.m_bError, 1);
        EXPECT_EQ(port_.m_hComm.load(), host::kInvalidSerial);
        EXPECT_FALSE(com1_->NearIsOpen()) << "the device stayed open";
        const auto events = ui_.Events();
        ASSERT_EQ(events.size(), before + 2);
        EXPECT_EQ(events[before].text, "beep");
        const auto boxes = ui_.Boxes();
        ASSERT_EQ(boxes.size(), boxes_before + 1);
        EXPECT_EQ(boxes.back().text, text);
        EXPECT_EQ(boxes.back().caption, L"Modem Update");
        (com1_.get()->*fail)(false);
        ASSERT_TRUE(OpenCom1(true));
        EXPECT_TRUE(port_.Close());
    }
    // A SetState that fails on an open port leaves it open.
    ASSERT_TRUE(OpenCom1());
    com1_->FailSetState(true);
    EXPECT_FALSE(port_.SetState(460800, 0, 8, 0, true));  // quiet: nothing shown
    EXPECT_EQ(ui_.Events().size(), 4u);
    EXPECT_FALSE(port_.SetState(460800, 0, 8, 0, false));
    EXPECT_EQ(ui_.Events().size(), 6u);
    EXPECT_TRUE(com1_->NearIsOpen());
    SetAppTitle(L"GSM Updater");
    EXPECT_TRUE(port_.Close());
}

TEST_F(SerialPortTest, ClosedPortRefusesQuietlyAndCloseAlwaysWaits) {
    uint8_t buffer[4];
    EXPECT_FALSE(port_.SetState(460800, 0, 8, 0, false));
    EXPECT_EQ(port_.m_dwBaud, 460800u);
    EXPECT_FALSE(port_.SetTimeouts(100, 100));
    EXPECT_EQ(port_.Read(buffer, 4), 0u);
    EXPECT_EQ(port_.Write("?", 1), 0u);
    EXPECT_EQ(clock_.now_us(), 0);
    EXPECT_FALSE(port_.Close());
    EXPECT_EQ(clock_.now_us(), 1'000'000);
    ASSERT_TRUE(OpenCom1());
    EXPECT_TRUE(port_.Close());
    EXPECT_EQ(clock_.now_us(), 2'000'000);
    EXPECT_FALSE(com1_->NearIsOpen());
    {
        CSerialPort scoped;  // the destructor closes without the wait
        ASSERT_TRUE(scoped.Open(L"COM", 1, 9600, 0, 8, 0, true));
    }
    EXPECT_TRUE(OpenCom1());
    EXPECT_EQ(clock_.now_us(), 2'000'000);
    EXPECT_TRUE(ui_.Events().empty());
}

// CloseSerialConnection may run on another thread while ReadThread waits in a read.
TEST_F(SerialPortTest, CloseFromAnotherThreadEndsABlockedRead) {
    ASSERT_TRUE(OpenCom1());
    ASSERT_TRUE(port_.SetTimeouts(5000, 100));
    uint32_t got = 99;
    int64_t returned_us = -1;
    std::thread reader = StartClockThread([&] {
        uint8_t buffer[16];
        got = port_.Read(buffer, 16);
        returned_us = clock_.now_us();
        got += port_.Read(buffer, 16);  // after the close: at once, without the device
    });
    clock_.sleep_ms(30);
    EXPECT_TRUE(port_.Close());
    reader.join();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(returned_us, 30'000);
}

}  // namespace
