// The radio stack shutdown in virtual time, against simulated radios, an in-memory registry
// and a simulated "VEI1:" whose far end this test reads.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/updater_dlg.h"
#include "device/radio_stack.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/memory_registry.h"
#include "host/sim/scripted_ui.h"
#include "host/sim/sim_radio.h"
#include "host/sim/sim_serial.h"
#include "host/sim/virtual_clock.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t kFirstHandle = 0x1C0;  // RIL1: 1c0, VEI1: 1c1, ... SPI2: 1c7

class RadioStackTest : public ::testing::Test {
  protected:
    // The sequence's own lines, without the search's.
    Lines SequenceLines() {
        Lines lines;
        for (const std::string& text : log.Texts()) {
            if (text.rfind("FindActivatedDeviceHandle", 0) != 0 && text.rfind("Full Key", 0) != 0 &&
                text.rfind("ReadSPPSetting", 0) != 0) {
                lines.push_back(text);
            }
        }
        return lines;
    }

    host::VirtualClock clock;
    host::CaptureLog log;
    host::MemoryRegistry registry;
    host::SimSerialPorts serial;
    host::ScriptedUi ui{clock};
    host::SimRadio radio{&registry, &serial};
    host::ScopedPlatform platform{host::Platform{.clock = &clock,
                                                 .log = &log,
                                                 .serial = &serial,
                                                 .registry = &registry,
                                                 .ui = &ui,
                                                 .radio = &radio}};
};

Lines Concat(Lines head, const Lines& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(RadioStackTest, ShutsTheWholeStackDownInOrder) {
    const uint32_t phone = radio.AddRadio(host::kRadioTypePhone, true);
    radio.AddRadio(5, true);
    radio.LoadRadioStack(kFirstHandle);
    std::shared_ptr<host::SimLink> vei = serial.AddDevice(L"VEI1:");
    vei->SetFarBaud(115200);  // anything else would garble the bytes
    CUpdaterDlg dlg;
    const int handles_before = registry.OpenHandles();

    // The far end of "VEI1:": both commands, and the instants they arrive.  This thread
    // registers first, so that time cannot move while it is busy starting the modem.
    std::string received;
    std::vector<int64_t> arrivals_ms;
    auto registered = std::make_unique<host::ScopedClockThread>(clock);
    clock.add_pending_thread();
    std::thread modem([&] {
        clock.begin_pending_thread();
        for (size_t size : {12, 10}) {
            std::string bytes(size, '\0');
            bytes.resize(vei->FarRead(bytes.data(), size, 5'000'000));
            received += bytes;
            arrivals_ms.push_back(clock.now_ms());
        }
        clock.unregister_thread();
    });
    dlg.TurnOffRIL();
    EXPECT_EQ(clock.now_ms(), 2100);  // 100 ms after the first command, 1000 per close
    registered.reset();
    modem.join();

    EXPECT_EQ(SequenceLines(),
              (Lines{"Start to Turn off RIL \r\n", "Turn GSM OFF\r\n", "Deactive RIL1:\r\n",
                     "Try to Open VEI1 \r\n", "Send AT*USER1OFF\r\n", "Try to Open VEI1 \r\n",
                     "Send AT+CFUN=0\r\n", "Deactive VEI1:\r\n", "Deactive VEI2:\r\n",
                     "Deactive VEI3:\r\n", "Deactive VEI4:\r\n", "Deactive VEI5:\r\n",
                     "Deactive MUX1:\r\n", "Deactive SPI2:\r\n"}));
    EXPECT_EQ(received, "AT*USER1OFF\rAT+CFUN=0\r");
    EXPECT_EQ(arrivals_ms, (std::vector<int64_t>{0, 1100}));

    ASSERT_EQ(radio.Requests().size(), 1u);  // the phone only, off, kept by default
    EXPECT_EQ(radio.Requests()[0].id, phone);
    EXPECT_EQ(radio.Requests()[0].save_mode, host::kRadioShutdownSaveMode);
    EXPECT_FALSE(radio.RadioOn(phone));

    uint32_t error = 0;
    EXPECT_EQ(serial.Open(L"VEI1:", &error), host::kInvalidSerial);  // unplugged
    EXPECT_EQ(dlg.m_port.m_hComm.load(), host::kInvalidSerial);
    EXPECT_TRUE(dlg.m_bNeedRestore);
    EXPECT_EQ(registry.OpenHandles(), handles_before);
}

TEST_F(RadioStackTest, MissingPortAndDriversDoNotStopTheSequence) {
    radio.AddRadio(host::kRadioTypePhone, false);  // already off
    radio.LoadDriver(L"MUX1:", 0x20);
    radio.LoadDriver(L"SPI2:", 0x21);
    CUpdaterDlg dlg;
    dlg.TurnOffRIL();

    const Lines round = {"Try to Open VEI1 \r\n", "Open VEI1: failed\r\n",
                         "Close VEI1: failed\r\n"};
    EXPECT_EQ(SequenceLines(), Concat(Concat(Concat({"Start to Turn off RIL \r\n"}, round), round),
                                      {"Deactive MUX1:\r\n", "Deactive SPI2:\r\n"}));
    EXPECT_TRUE(radio.Requests().empty());
    EXPECT_EQ(clock.now_ms(), 2000);
    EXPECT_TRUE(dlg.m_bNeedRestore);
    EXPECT_EQ(dlg.m_port.m_hComm.load(), host::kInvalidSerial);
    EXPECT_TRUE(ui.Events().empty());  // the port is opened quietly
}

TEST_F(RadioStackTest, PhoneRadioStateAndSwitchOff) {
    EXPECT_EQ(IsGsmRadioOn(), 0u);  // no radios at all
    radio.AddRadio(7, true);
    EXPECT_EQ(IsGsmRadioOn(), 0u);  // no phone among them
    const uint32_t first = radio.AddRadio(host::kRadioTypePhone, true);
    const uint32_t second = radio.AddRadio(host::kRadioTypePhone, false);
    EXPECT_NE(IsGsmRadioOn(), 0u);

    radio.AnswerChangesWith(0x80070005);  // a failure, but not the generic one
    EXPECT_TRUE(TurnGsmRadioOff());
    radio.AnswerChangesWith(host::kRadioFailed);
    EXPECT_FALSE(TurnGsmRadioOff());

    std::vector<uint32_t> asked;
    for (const auto& request : radio.Requests())
        asked.push_back(request.id);
    EXPECT_EQ(asked, (std::vector<uint32_t>{first, second, first, second}));
    EXPECT_EQ(radio.OutstandingLists(), 0);
}

TEST_F(RadioStackTest, SearchLogsWhatItFindsAndFailsSafely) {
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0u);  // no "Drivers\Active" at all
    EXPECT_EQ(log.Texts(), Lines{"FindActivatedDeviceHandle: Open Device Reg error\r\n"});

    log.Clear();
    radio.LoadDriver(L"01", L"RIL1:", 0x1C0);
    EXPECT_EQ(FindActivatedDeviceHandle(L"RIL1:"), 0x1C0u);
    EXPECT_EQ(log.Texts(), (Lines{"Full Key: Drivers\\Active\\01\r\n",
                                  "FindActivatedDeviceHandle: Found name RIL1:\r\n",
                                  "FindActivatedDeviceHandle: Compare RIL1: and RIL1:\r\n",
                                  "FindActivatedDeviceHandle: Got Hnd\r\n",
                                  "FindActivatedDeviceHandle: Hnd value 1c0\r\n"}));

    log.Clear();
    radio.LoadDriver(L"02", L"vei1:", 0x10);  // case counts
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0u);
    EXPECT_EQ(log.Texts().back(), "FindActivatedDeviceHandle: No more items\r\n");

    log.Clear();
    registry.PutString(L"Drivers\\Active\\03", L"Name", L"VEI1:");  // no "Hnd"
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0u);
    Lines texts = log.Texts();
    EXPECT_EQ(
        Lines(texts.end() - 2, texts.end()),
        (Lines{"FindActivatedDeviceHandle: Got Hnd\r\n", "ReadSPPSetting: Error getting Hnd\r\n"}));

    // A subkey that cannot be opened ends the search, though a later one would match.
    log.Clear();
    radio.LoadDriver(L"04", L"VEI2:", 0x30);
    registry.FailOpen(L"Drivers\\Active\\03");
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI2:"), 0u);
    EXPECT_EQ(log.Texts().back(), "FindActivatedDeviceHandle: Open Device Reg error\r\n");
    EXPECT_EQ(log.All().find("Active\\04"), std::string::npos);
    EXPECT_EQ(registry.OpenHandles(), 0);
}

TEST_F(RadioStackTest, NamesTooLongForTheirBuffersArePassedOver) {
    radio.LoadDriver(L"01", L"RIL1:", 0x10);
    radio.LoadDriver(L"02_sixteen_chars", L"VEI1:", 0x20);  // the subkey's name
    radio.LoadDriver(L"03", L"VEI1:abcdefghijk", 0x30);     // "Name", 16 characters
    const std::wstring unterminated(16, L'V');              // fills the buffer, no terminator
    radio.LoadDriver(L"04", L"", 0x40);
    host::RegKey key = 0;
    registry.OpenKey(host::kHkeyLocalMachine, L"Drivers\\Active\\04", &key);
    registry.SetValue(key, L"Name", host::kRegSz, unterminated.data(), 16 * sizeof(wchar_t));
    registry.CloseKey(key);
    radio.LoadDriver(L"05", L"VEI1:abcdefghij", 0x50);  // 15 characters: fits
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:"), 0u);
    EXPECT_EQ(FindActivatedDeviceHandle(unterminated), 0u);
    EXPECT_EQ(log.All().find("02_sixteen"), std::string::npos);
    EXPECT_EQ(FindActivatedDeviceHandle(L"VEI1:abcdefghij"), 0x50u);

    // A "Name" that fails to read leaves the last one read in the buffer.
    log.Clear();
    FindActivatedDeviceHandle(L"SPI2:");
    Lines found;
    for (const std::string& text : log.Texts()) {
        if (text.rfind("FindActivatedDeviceHandle: Found name", 0) == 0)
            found.push_back(text.substr(38));
    }
    EXPECT_EQ(found, (Lines{"RIL1:\r\n", "RIL1:\r\n", "RIL1:\r\n", "VEI1:abcdefghij\r\n"}));
}

}  // namespace
