// The simulated serial link, in virtual time, driven through the port wrapper.
#include "tests/serial/sim_fixture.h"

namespace {

class SimLinkTest : public SimPortTest {
  protected:
    void SetUp() override { ASSERT_TRUE(OpenCom1(true)); }
};

TEST_F(SimLinkTest, ReadsEndWithTheirBytesOrAtTheirTimeout) {
    port_.SetTimeouts(250, 100);
    std::thread far = StartClockThread([&] {
        clock_.sleep_ms(50);
        com1_->FarWrite({1, 2, 3});
        clock_.sleep_ms(100);
        com1_->FarWrite({4});
    });
    EXPECT_EQ(Read(3), (Bytes{1, 2, 3}));
    EXPECT_EQ(clock_.now_us(), 50'000);
    EXPECT_EQ(Read(10), (Bytes{4}));
    EXPECT_EQ(clock_.now_us(), 300'000);
    far.join();
}

// A byte meets the speed its receiver has when it arrives; a mismatch garbles, never drops.
TEST_F(SimLinkTest, MismatchedSpeedsGarbleInBothDirections) {
    com1_->SetFarBaud(460800);
    com1_->FarWrite({'z', 0xFF});
    EXPECT_EQ(Read(2), (Bytes{host::Garble('z', 460800, 9600),
                              host::Garble(0xFF, 460800, 9600)}));
    EXPECT_NE(host::Garble('z', 460800, 9600), 'z');
    EXPECT_EQ(port_.Write("?", 1), 1u);
    EXPECT_EQ(FarRead(1, 0), (Bytes{host::Garble('?', 9600, 460800)}));

    ASSERT_TRUE(port_.SetState(460800, 0, 8, 0, true));
    com1_->FarWrite({'A'});  // arrives at 460800, read after the switch back
    ASSERT_TRUE(port_.SetState(9600, 0, 8, 0, true));
    EXPECT_EQ(Read(1), (Bytes{'A'}));
}

// 1,000 bytes at 9600 baud with W = 1,000 ms: 960 fit, the rest is never sent.  A whole
// 64,512-byte record at 460800 baud takes 1.4 s.
TEST_F(SimLinkTest, WireTimeSpacesBytesAndCutsWritesAtTheirTimeout) {
    com1_->SetWireTime(true);
    port_.SetTimeouts(1000, 1000);
    com1_->FarWrite(Bytes(10, 'z'));
    EXPECT_EQ(Read(10).size(), 10u);
    EXPECT_EQ(clock_.now_us(), 10'417);  // ten bytes of ten bits at 9600 baud

    EXPECT_EQ(port_.Write(Bytes(1000).data(), 1000), 960u);
    EXPECT_EQ(clock_.now_us(), 1'010'417);
    EXPECT_EQ(FarRead(1000, clock_.now_us() + 500'000).size(), 960u);

    port_.SetState(460800, 0, 8, 0, true);
    com1_->SetFarBaud(460800);
    port_.SetTimeouts(100, 64512);
    const int64_t start_us = clock_.now_us();
    EXPECT_EQ(port_.Write(Bytes(64512, 0xAA).data(), 64512), 64512u);
    EXPECT_EQ(clock_.now_us() - start_us, 1'400'000);
    EXPECT_EQ(FarRead(64512, clock_.now_us()), Bytes(64512, 0xAA));
}

TEST_F(SimLinkTest, FaultKnobs) {
    CSerialPort second;
    EXPECT_FALSE(second.Open(L"COM", 1, 9600, 0, 8, 0, true));  // exclusive
    com1_->IgnoreSpeed(true);  // reported as set, but the line stays at 9600
    EXPECT_TRUE(port_.SetState(460800, 2, 8, 0, true));
    EXPECT_EQ(com1_->NearState().baud, 9600u);
    EXPECT_EQ(com1_->NearState().parity, 2);
    EXPECT_EQ(com1_->NearStateChanges(), 2u);

    port_.SetTimeouts(100, 1000);
    com1_->LimitNextWrite(10);
    EXPECT_EQ(port_.Write(Bytes(100).data(), 100), 10u);  // stalls until its time-out
    EXPECT_EQ(clock_.now_us(), 1'000'000);
    EXPECT_EQ(port_.Write(Bytes(100).data(), 100), 100u);
    EXPECT_EQ(com1_->FarAvailable(), 110u);
}

// A device that goes away fails every read and write, but only at its time-out (a write
// without one after a bounded wait), so that a caller that polls keeps its pace; the port says
// so once.  A close still ends a waiting call at once, and the device is hidden until plugged.
TEST_F(SimLinkTest, UnpluggedDeviceFailsCallsAtTheirTimeoutsUntilClosed) {
    port_.SetTimeouts(5000, 0);
    std::thread far = StartClockThread([&] {
        clock_.sleep_ms(20);
        com1_->Unplug();
    });
    EXPECT_TRUE(Read(8).empty());
    EXPECT_EQ(clock_.now_us(), 5'000'000);
    far.join();
    EXPECT_EQ(port_.Write("?", 1), 0u);
    EXPECT_EQ(clock_.now_us(), 5'000'000 + host::SimLink::kLostWriteMs * 1000);
    EXPECT_FALSE(port_.SetState(460800, 0, 8, 0, false));  // no box: the loss is known
    EXPECT_TRUE(ui_.Events().empty());
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{"COM1: device lost\r\n"});

    const int64_t waiting_us = clock_.now_us();
    std::thread reader = StartClockThread([&] { EXPECT_TRUE(Read(8).empty()); });
    clock_.sleep_ms(30);
    EXPECT_TRUE(port_.Close());
    reader.join();
    EXPECT_EQ(clock_.now_us(), waiting_us + 30'000 + 1'000'000);  // the close's own wait
    EXPECT_EQ(log_.Texts().size(), 1u);

    CSerialPort other;
    EXPECT_FALSE(other.Open(L"COM", 1, 9600, 0, 8, 0, true));
    com1_->Plug();
    EXPECT_TRUE(other.Open(L"COM", 1, 9600, 0, 8, 0, true));
}

// A far end that polls an unplugged line waits out its deadline rather than spin.
TEST_F(SimLinkTest, UnpluggedLineBringsTheFarEndNothingUntilItsDeadline) {
    com1_->Unplug();
    EXPECT_TRUE(FarRead(4, 250'000).empty());
    EXPECT_EQ(clock_.now_us(), 250'000);
}

TEST_F(SimLinkTest, CloseUnderATimedWriteSendsOnlyWhatWentOut) {
    com1_->SetWireTime(true);
    port_.SetTimeouts(100, 5000);
    uint32_t written = 99;
    std::thread writer = StartClockThread([&] { written = port_.Write(Bytes(1000).data(), 1000); });
    clock_.sleep_ms(100);
    EXPECT_TRUE(port_.Close());
    writer.join();
    EXPECT_EQ(written, 96u);  // 100 ms at 9600 baud
    EXPECT_EQ(FarRead(1000, clock_.now_us() + 1'000'000).size(), 96u);
    com1_->FarWrite({3});  // to a closed port: lost
    ASSERT_TRUE(OpenCom1(true));
    EXPECT_TRUE(Read(1).empty());
}

}  // namespace
