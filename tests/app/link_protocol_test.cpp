// Framing of commands and the receive state machine that cuts the converter's
// byte stream into frames.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "console.h"
#include "link_protocol.h"
#include "test_support.h"

namespace {

using fake::Bytes;

// Every frame handed to the program's handler, as the handler saw it.
std::vector<Bytes> gHandled;

void RecordFrame(unsigned char) {
    // The whole frame is held while it is handled; its length is what the
    // state machine counted.
    gHandled.emplace_back(RxFrameBuf, RxFrameBuf + idxRxFrame);
}

class LinkProtocolTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        gHandled.clear();
        SetFrameHandler(RecordFrame);
    }

    // Feeds `stream` in chunks that end at the given offsets, as separate reads.
    static void ReceiveInChunks(const Bytes &stream, const std::vector<std::size_t> &cuts) {
        std::size_t start = 0;
        for (std::size_t end : cuts) {
            Receive(Bytes(stream.begin() + start, stream.begin() + end));
            start = end;
        }
        Receive(Bytes(stream.begin() + start, stream.end()));
    }
};

const Bytes kGpio0High = {0x55, 0x55, 0x03, 0xFF, 0x00, 0x0D};
const Bytes kGpio1Low = {0x55, 0x55, 0x04, 0x00, 0x00, 0x0D};
// A Wiegand report whose payload holds 0x0D at frame lengths 6 and 7.
const Bytes kWiegandWithCR = {0x55, 0x55, 0x01, 0x1A, 0x06, 0x0D, 0x0D, 0x80, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(LinkProtocolTest, CommandsAreFramedWithSyncPairCodePayloadZeroAndCR) {
    std::string printed = Printed([] {
        unsigned char on[1] = {0xFF};
        Send_Command(ftHandle, 0x02, 1, on);
        Send_ResetRequest(ftHandle);
        unsigned char payload[15] = {0x1A, 0x00, 0x0D, 0x55};  // zeros and sync bytes kept
        Send_Command(ftHandle, 0x01, 15, payload);
        Send_Command(ftHandle, 0x0B, 0, nullptr);
    });
    auto &lib = fake::library();
    ASSERT_EQ(lib.writes.size(), 4u);
    EXPECT_EQ(Hex(lib.writes[0]), "55 55 02 FF 00 0D");
    EXPECT_EQ(Hex(lib.writes[1]), "55 55 0A 00 00 0D");
    EXPECT_EQ(Hex(lib.writes[2]), "55 55 01 1A 00 0D 55 00 00 00 00 00 00 00 00 00 00 00 00 0D");
    EXPECT_EQ(Hex(lib.writes[3]), "55 55 0B 00 0D");
    EXPECT_EQ(printed, "  Ok\n  Ok\n  Ok\n  Ok\n");
    EXPECT_EQ(ftStatus, FT_OK);
}

TEST_F(LinkProtocolTest, FailedWriteIsReportedAndKeptWithoutRetry) {
    fake::library().writeStatus = FT_IO_ERROR;
    EXPECT_EQ(Printed([] { Send_ResetRequest(ftHandle); }), "  Nok\n");
    EXPECT_EQ(ftStatus, FT_IO_ERROR);

    // No device open: the write itself refuses the handle.
    fake::library().writeStatus = FT_OK;
    EXPECT_EQ(Printed([] { Send_ResetRequest(nullptr); }), "  Nok\n");
    EXPECT_EQ(ftStatus, FT_INVALID_HANDLE);
    EXPECT_TRUE(fake::library().writes.empty());
}

TEST_F(LinkProtocolTest, PayloadTooLongForAFrameIsNotSent) {
    unsigned char payload[16] = {};
    EXPECT_EQ(Printed([&] { Send_Command(ftHandle, 0x01, 16, payload); }), "  Nok\n");
    EXPECT_NE(ftStatus, FT_OK);
    EXPECT_TRUE(fake::library().writes.empty());
}

TEST_F(LinkProtocolTest, FrameSplitAtAnyByteIsHandledOnceWhenItsCRArrives) {
    for (const Bytes &frame : {kGpio0High, kWiegandWithCR}) {
        // Every single cut, the cut between the two sync bytes included.
        for (std::size_t cut = 1; cut < frame.size(); ++cut) {
            gHandled.clear();
            ReceiveInChunks(frame, {cut});
            ASSERT_EQ(gHandled.size(), 1u) << "cut at " << cut;
            EXPECT_EQ(gHandled[0], frame) << "cut at " << cut;
        }
        // One byte per read: nothing is handled before the last byte.
        gHandled.clear();
        for (std::size_t i = 0; i < frame.size(); ++i) {
            EXPECT_TRUE(gHandled.empty()) << "handled early, after byte " << i;
            Receive(Bytes{frame[i]});
        }
        ASSERT_EQ(gHandled.size(), 1u);
        EXPECT_EQ(gHandled[0], frame);
        EXPECT_EQ(RxStates, kRxHunting);
        EXPECT_EQ(idxRxFrame, 0);
    }
}

TEST_F(LinkProtocolTest, CRInsideAWiegandPayloadDoesNotEndTheFrame) {
    Receive(Bytes(kWiegandWithCR.begin(), kWiegandWithCR.begin() + 7));
    EXPECT_TRUE(gHandled.empty());
    EXPECT_EQ(RxStates, kRxCollecting);
    EXPECT_EQ(idxRxFrame, 7);
    Receive(Bytes(kWiegandWithCR.begin() + 7, kWiegandWithCR.end()));
    ASSERT_EQ(gHandled.size(), 1u);
    EXPECT_EQ(gHandled[0].size(), 20u);
}

TEST_F(LinkProtocolTest, GarbageAndLoneSyncBytesAreSkipped) {
    Receive(Concat({{0x12, 0x55, 0x34}, kGpio1Low}));
    ASSERT_EQ(gHandled.size(), 1u);
    EXPECT_EQ(gHandled[0], kGpio1Low);

    // A chunk ending in a lone sync byte followed by a chunk of something else.
    gHandled.clear();
    Receive({0x00, 0x55});
    EXPECT_EQ(RxStates, kRxFirstSync);
    Receive(Concat({{0x34}, kGpio0High}));
    ASSERT_EQ(gHandled.size(), 1u);
    EXPECT_EQ(gHandled[0], kGpio0High);
}

TEST_F(LinkProtocolTest, OverlongFrameIsDroppedAndTheNextByteLooksForAStart) {
    // A tamper frame with two payload bytes does not match its length, so 13
    // more bytes are collected with it; the 21st byte drops it and is itself
    // the start of a report.
    const Bytes overlong = {0x55, 0x55, 0x02, 0xFF, 0xFF, 0x00, 0x0D, 0x0D, 0x0D, 0x0D,
                            0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D};
    Receive(overlong);
    EXPECT_TRUE(gHandled.empty());
    EXPECT_EQ(idxRxFrame, 20);
    Receive(kGpio0High);
    ASSERT_EQ(gHandled.size(), 1u);
    EXPECT_EQ(gHandled[0], kGpio0High);
}

TEST_F(LinkProtocolTest, TwoFramesInOneChunkAreHandledInOrder) {
    Bytes chunk = Concat({kGpio0High, kGpio1Low});
    ProcessRxData(chunk.data(), static_cast<unsigned int>(chunk.size()));
    // The first is handled inside, the second waits for the caller.
    ASSERT_EQ(gHandled.size(), 1u);
    EXPECT_EQ(gHandled[0], kGpio0High);
    EXPECT_EQ(RxStates, kRxComplete);
    ProcessFrame();
    ASSERT_EQ(gHandled.size(), 2u);
    EXPECT_EQ(gHandled[1], kGpio1Low);
    ProcessFrame();  // nothing complete: no second handling
    EXPECT_EQ(gHandled.size(), 2u);
}

TEST_F(LinkProtocolTest, CodesWithoutHandlerCompleteAtTheirLengthAndAreDropped) {
    SetFrameHandler(nullptr);
    for (const Bytes &frame :
         {Bytes{0x55, 0x55, 0x09, 0x01, 0x02, 0x00, 0x0D},
          Bytes{0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D}, Bytes{0x55, 0x55, 0x0B, 0x00, 0x00, 0x0D}}) {
        Bytes copy = frame;
        ProcessRxData(copy.data(), static_cast<unsigned int>(copy.size()));
        EXPECT_EQ(RxStates, kRxComplete) << Hex(frame);
        EXPECT_EQ(Printed([] { ProcessFrame(); }), "");
        EXPECT_EQ(RxStates, kRxHunting);
        EXPECT_EQ(idxRxFrame, 0);
    }
    // An unknown code never completes: dropped once it holds 20 bytes.
    Receive({0x55, 0x55, 0x07, 0x00, 0x00, 0x0D});
    EXPECT_EQ(RxStates, kRxCollecting);
}

TEST_F(LinkProtocolTest, AnyChunkingOfAStreamYieldsTheSameFramesAndStaysInBounds) {
    const Bytes stream = Concat({{0x00, 0x55, 0x13},
                                 kGpio0High,
                                 {0x55, 0x13},
                                 kWiegandWithCR,
                                 {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D},
                                 {0xAA, 0x0D},
                                 kGpio1Low});
    const std::vector<Bytes> expected = {
        kGpio0High, kWiegandWithCR, {0x55, 0x55, 0x0A, 0x00, 0x00, 0x0D}, kGpio1Low};

    std::mt19937 rng(12345);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < stream.size(); ++i) {
            if (rng() % 4 == 0) cuts.push_back(i);
        }
        gHandled.clear();
        ReceiveInChunks(stream, cuts);
        ASSERT_EQ(gHandled, expected) << "round " << round;
    }

    // Random bytes with many sync bytes and CRs: the buffer is never overrun.
    std::uniform_int_distribution<int> pick(0, 5);
    const unsigned char alphabet[] = {0x55, 0x0D, 0x00, 0x01, 0x02, 0xFF};
    for (int round = 0; round < 200; ++round) {
        Bytes noise(64);
        for (auto &b : noise) b = alphabet[pick(rng)];
        for (std::size_t i = 0; i < noise.size(); ++i) {
            Receive(Bytes{noise[i]});
            ASSERT_GE(idxRxFrame, 0);
            ASSERT_LE(idxRxFrame, 20);
        }
    }
}

}  // namespace
