// The frame serializer and parser: byte layouts (checked against the test
// network's own codec), the size checks and their status codes, and that a
// refused frame or a too-small buffer leaves everything as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "LoRaMacParser.h"
#include "LoRaMacSerializer.h"
#include "network/lorawan.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kJoinEui[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const uint8_t kDevEui[8] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};

TEST(Serializer, JoinRequestReversesEuisAndPutsCountersLittleEndian) {
  uint8_t buf[40];
  std::memset(buf, 0xEE, sizeof buf);
  LoRaMacMessageJoinRequest_t m{};
  m.Buffer = buf;
  m.BufSize = sizeof buf;
  m.MHDR.Value = 0x00;
  std::memcpy(m.JoinEUI, kJoinEui, 8);
  std::memcpy(m.DevEUI, kDevEui, 8);
  m.DevNonce = 0x1234;
  m.MIC = 0xDDCCBBAA;
  ASSERT_EQ(LoRaMacSerializerJoinRequest(&m), LORAMAC_SERIALIZER_SUCCESS);
  ASSERT_EQ(m.BufSize, 23);
  const Bytes want = {0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xA8, 0xA7, 0xA6,
                      0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0x34, 0x12, 0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(Bytes(buf, buf + 23), want);
  EXPECT_EQ(buf[23], 0xEE) << "nothing written past the frame";

  sim::network::JoinRequest jr;
  std::string why;
  ASSERT_TRUE(sim::network::parse_join_request(Bytes(buf, buf + 23), &jr, &why)) << why;
  EXPECT_EQ(jr.join_eui, 0x0102030405060708u);
  EXPECT_EQ(jr.dev_eui, 0xA1A2A3A4A5A6A7A8u);
  EXPECT_EQ(jr.dev_nonce, 0x1234);
  EXPECT_EQ(jr.mic, 0xDDCCBBAAu);
}

TEST(Serializer, RejoinLayouts) {
  uint8_t buf[32] = {};
  LoRaMacMessageReJoinType1_t r1{};
  r1.Buffer = buf;
  r1.BufSize = sizeof buf;
  r1.MHDR.Value = 0xC0;
  r1.ReJoinType = 1;
  std::memcpy(r1.JoinEUI, kJoinEui, 8);
  std::memcpy(r1.DevEUI, kDevEui, 8);
  r1.RJcount1 = 0x0102;
  r1.MIC = 0x04030201;
  ASSERT_EQ(LoRaMacSerializerReJoinType1(&r1), LORAMAC_SERIALIZER_SUCCESS);
  ASSERT_EQ(r1.BufSize, 24);
  EXPECT_EQ(Bytes(buf, buf + 24),
            (Bytes{0xC0, 0x01, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xA8, 0xA7,
                   0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0x02, 0x01, 0x01, 0x02, 0x03, 0x04}));

  LoRaMacMessageReJoinType0or2_t r0{};
  r0.Buffer = buf;
  r0.BufSize = sizeof buf;
  r0.MHDR.Value = 0xC0;
  r0.ReJoinType = 2;
  r0.NetID[0] = 0x13;  // NetID 0x000013, already in air order
  std::memcpy(r0.DevEUI, kDevEui, 8);
  r0.RJcount0 = 7;
  r0.MIC = 0x11223344;
  ASSERT_EQ(LoRaMacSerializerReJoinType0or2(&r0), LORAMAC_SERIALIZER_SUCCESS);
  ASSERT_EQ(r0.BufSize, 19);
  EXPECT_EQ(Bytes(buf, buf + 19), (Bytes{0xC0, 0x02, 0x13, 0x00, 0x00, 0xA8, 0xA7, 0xA6, 0xA5, 0xA4,
                                         0xA3, 0xA2, 0xA1, 0x07, 0x00, 0x44, 0x33, 0x22, 0x11}));
}

struct DataCase {
  const char* what;
  uint8_t fOptsLen;
  uint8_t payloadSize;
  uint8_t port;
  size_t size;
};

TEST(Serializer, DataFramesAndTheirFPort) {
  const DataCase cases[] = {
      {"empty", 0, 0, 5, 12},
      {"FOpts only, FPort left out", 3, 0, 5, 15},
      {"payload", 0, 4, 10, 17},
      {"port 0 payload", 0, 20, 0, 33},
      {"FOpts and payload", 15, 200, 2, 228},
  };
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t buf[255];
    uint8_t payload[255];
    for (int i = 0; i < 255; ++i) payload[i] = static_cast<uint8_t>(0x80 + i);
    LoRaMacMessageData_t m{};
    m.Buffer = buf;
    m.BufSize = sizeof buf;
    m.MHDR.Value = 0x80;  // confirmed up
    m.FHDR.DevAddr = 0x26011234;
    m.FHDR.FCtrl.Value = 0xA0;  // ADR, ACK
    m.FHDR.FCtrl.Bits.FOptsLen = c.fOptsLen;
    m.FHDR.FCnt = 0xBEEF;
    for (int i = 0; i < 15; ++i) m.FHDR.FOpts[i] = static_cast<uint8_t>(0x30 + i);
    m.FPort = c.port;
    m.FRMPayload = payload;
    m.FRMPayloadSize = c.payloadSize;
    m.MIC = 0x01020304;
    ASSERT_EQ(LoRaMacSerializerData(&m), LORAMAC_SERIALIZER_SUCCESS);
    ASSERT_EQ(m.BufSize, c.size);

    sim::network::DataFrame d;
    std::string why;
    ASSERT_TRUE(sim::network::parse_data_frame(Bytes(buf, buf + m.BufSize), &d, &why)) << why;
    EXPECT_EQ(d.mtype, sim::network::MType::kConfirmedUp);
    EXPECT_EQ(d.dev_addr, 0x26011234u);
    EXPECT_EQ(d.fctrl, 0xA0 | c.fOptsLen);
    EXPECT_EQ(d.fcnt, 0xBEEF);
    EXPECT_EQ(d.fopts, Bytes(m.FHDR.FOpts, m.FHDR.FOpts + c.fOptsLen));
    EXPECT_EQ(d.fport.has_value(), c.payloadSize > 0);
    EXPECT_EQ(d.fport.value_or(0), c.payloadSize > 0 ? c.port : 0);
    EXPECT_EQ(d.payload, Bytes(payload, payload + c.payloadSize));
    EXPECT_EQ(d.mic, 0x01020304u);
  }
}

TEST(Serializer, RefusalsWriteNothing) {
  uint8_t buf[260];
  uint8_t payload[255] = {};
  LoRaMacMessageJoinRequest_t jr{};
  LoRaMacMessageReJoinType1_t r1{};
  LoRaMacMessageReJoinType0or2_t r0{};
  LoRaMacMessageData_t data{};
  auto reset = [&](uint8_t capacity) {
    std::memset(buf, 0xEE, sizeof buf);
    jr.Buffer = r1.Buffer = r0.Buffer = data.Buffer = buf;
    jr.BufSize = r1.BufSize = r0.BufSize = data.BufSize = capacity;
  };
  auto untouched = [&] {
    for (uint8_t b : buf) {
      if (b != 0xEE) return false;
    }
    return true;
  };
  data.FHDR.FCtrl.Bits.FOptsLen = 15;
  data.FRMPayload = payload;
  data.FRMPayloadSize = 10;  // frame 12 + 15 + 1 + 10 = 38

  struct Case {
    const char* what;
    uint8_t capacity;
    LoRaMacSerializerStatus_t (*run)(LoRaMacMessageJoinRequest_t*, LoRaMacMessageReJoinType1_t*,
                                     LoRaMacMessageReJoinType0or2_t*, LoRaMacMessageData_t*);
  } cases[] = {
      {"join request", 22,
       [](auto* j, auto*, auto*, auto*) { return LoRaMacSerializerJoinRequest(j); }},
      {"rejoin 1", 23,
       [](auto*, auto* r, auto*, auto*) { return LoRaMacSerializerReJoinType1(r); }},
      {"rejoin 0/2", 18,
       [](auto*, auto*, auto* r, auto*) { return LoRaMacSerializerReJoinType0or2(r); }},
      {"data", 37, [](auto*, auto*, auto*, auto* d) { return LoRaMacSerializerData(d); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset(c.capacity);
    EXPECT_EQ(c.run(&jr, &r1, &r0, &data), LORAMAC_SERIALIZER_ERROR_BUF_SIZE);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(jr.BufSize + r1.BufSize + r0.BufSize + data.BufSize, 4 * c.capacity)
        << "capacity kept";
    reset(c.capacity + 1);
    EXPECT_EQ(c.run(&jr, &r1, &r0, &data), LORAMAC_SERIALIZER_SUCCESS) << "one more byte is enough";
    reset(255);
    jr.Buffer = r1.Buffer = r0.Buffer = data.Buffer = nullptr;
    EXPECT_EQ(c.run(&jr, &r1, &r0, &data), LORAMAC_SERIALIZER_ERROR_NPE);
    EXPECT_EQ(c.run(nullptr, nullptr, nullptr, nullptr), LORAMAC_SERIALIZER_ERROR_NPE);
  }

  // The largest FOpts and payload together exceed any frame buffer.
  reset(255);
  data.FRMPayloadSize = 255;
  EXPECT_EQ(LoRaMacSerializerData(&data), LORAMAC_SERIALIZER_ERROR_BUF_SIZE);
  EXPECT_TRUE(untouched());
  // A payload size without a payload buffer.
  data.FRMPayload = nullptr;
  data.FRMPayloadSize = 1;
  EXPECT_EQ(LoRaMacSerializerData(&data), LORAMAC_SERIALIZER_ERROR_NPE);
  EXPECT_TRUE(untouched());
}

TEST(Parser, JoinAcceptOnly17Or33Bytes) {
  uint8_t buf[40];
  for (int i = 0; i < 40; ++i) buf[i] = static_cast<uint8_t>(i + 1);
  for (uint8_t size = 0; size <= 40; ++size) {
    SCOPED_TRACE(size);
    LoRaMacMessageJoinAccept_t m;
    std::memset(&m, 0x5A, sizeof m);
    m.Buffer = buf;
    m.BufSize = size;
    const LoRaMacParserStatus_t st = LoRaMacParserJoinAccept(&m);
    if (size != 17 && size != 33) {
      EXPECT_EQ(st, LORAMAC_PARSER_FAIL);
      EXPECT_EQ(m.MIC, 0x5A5A5A5Au);
      continue;
    }
    ASSERT_EQ(st, LORAMAC_PARSER_SUCCESS);
    EXPECT_EQ(m.MHDR.Value, 1);
    EXPECT_EQ(Bytes(m.JoinNonce, m.JoinNonce + 3), (Bytes{2, 3, 4}));
    EXPECT_EQ(Bytes(m.NetID, m.NetID + 3), (Bytes{5, 6, 7}));
    EXPECT_EQ(m.DevAddr, 0x0B0A0908u);
    EXPECT_EQ(m.DLSettings.Value, 12);
    EXPECT_EQ(m.RxDelay, 13);
    if (size == 33) {
      EXPECT_EQ(Bytes(m.CFList, m.CFList + 16), Bytes(buf + 13, buf + 29));
      EXPECT_EQ(m.MIC, 0x21201F1Eu);
    } else {
      EXPECT_EQ(m.CFList[0], 0x5A) << "no CFList in a short accept";
      EXPECT_EQ(m.MIC, 0x11100F0Eu);
    }
  }
  LoRaMacMessageJoinAccept_t m{};
  m.BufSize = 17;
  EXPECT_EQ(LoRaMacParserJoinAccept(&m), LORAMAC_PARSER_ERROR_NPE);
  EXPECT_EQ(LoRaMacParserJoinAccept(nullptr), LORAMAC_PARSER_ERROR_NPE);
}

TEST(Parser, JoinAcceptBuiltByTheNetwork) {
  sim::network::Key key{};
  key[0] = 1;
  sim::network::JoinAccept ja;
  ja.join_nonce = 0x030201;
  ja.net_id = 0x000013;
  ja.dev_addr = 0x26A1B2C3;
  ja.dl_settings = 0x83;
  ja.rx_delay = 5;
  ja.cflist = Bytes(16, 0x77);
  Bytes enc = sim::network::build_join_accept(ja, key, key, false, 0xFF, 0, 0);
  // The network encrypts with AES decryption, so the device's reading is
  // an AES encryption: undo it here with the network's own cipher.
  Bytes plain = enc;
  for (size_t off = 1; off < plain.size(); off += 16) {
    sim::network::Block b;
    std::memcpy(b.data(), &plain[off], 16);
    b = sim::network::aes_encrypt(key, b);
    std::memcpy(&plain[off], b.data(), 16);
  }
  LoRaMacMessageJoinAccept_t m{};
  m.Buffer = plain.data();
  m.BufSize = static_cast<uint8_t>(plain.size());
  ASSERT_EQ(LoRaMacParserJoinAccept(&m), LORAMAC_PARSER_SUCCESS);
  EXPECT_EQ(m.MHDR.Bits.MType, FRAME_TYPE_JOIN_ACCEPT);
  EXPECT_EQ(Bytes(m.JoinNonce, m.JoinNonce + 3), (Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(Bytes(m.NetID, m.NetID + 3), (Bytes{0x13, 0x00, 0x00}));
  EXPECT_EQ(m.DevAddr, 0x26A1B2C3u);
  EXPECT_EQ(m.DLSettings.Bits.OptNeg, 1);
  EXPECT_EQ(m.DLSettings.Bits.RX1DRoffset, 0);
  EXPECT_EQ(m.DLSettings.Bits.RX2DataRate, 3);
  EXPECT_EQ(m.RxDelay, 5);
  EXPECT_EQ(Bytes(m.CFList, m.CFList + 16), Bytes(16, 0x77));
}

TEST(Parser, DataFramesFromTheNetwork) {
  sim::network::SessionKeys keys;
  struct Case {
    const char* what;
    Bytes fopts;
    std::optional<uint8_t> port;
    Bytes payload;
  } cases[] = {
      {"empty", {}, std::nullopt, {}},
      {"FOpts without port", {0x02, 0x05, 0x06}, std::nullopt, {}},
      {"port 0 with FOpts", {0x06}, 0, {0x03, 0x07}},
      {"port with empty payload", {}, 1, {}},
      {"FOpts and payload", Bytes(15, 0x44), 200, Bytes(222, 0x55)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::network::FrameParams p;
    p.mtype = sim::network::MType::kConfirmedDown;
    p.dev_addr = 0x01ABCDEF;
    p.fctrl = 0x30;
    p.fcnt = 0x12345;
    p.fopts = c.fopts;
    p.fport = c.port;
    p.payload = c.payload;
    Bytes f = sim::network::build_data_frame(keys, p);
    sim::network::DataFrame want;
    std::string why;
    ASSERT_TRUE(sim::network::parse_data_frame(f, &want, &why)) << why;

    uint8_t payload[255];
    LoRaMacMessageData_t m{};
    m.Buffer = f.data();
    m.BufSize = static_cast<uint8_t>(f.size());
    m.FRMPayload = payload;
    m.FPort = 99;
    m.FRMPayloadSize = 99;
    ASSERT_EQ(LoRaMacParserData(&m), LORAMAC_PARSER_SUCCESS);
    EXPECT_EQ(m.MHDR.Value, 0xA0);
    EXPECT_EQ(m.FHDR.DevAddr, 0x01ABCDEFu);
    EXPECT_EQ(m.FHDR.FCtrl.Value, want.fctrl);
    EXPECT_EQ(m.FHDR.FCtrl.Bits.Ack, 1);
    EXPECT_EQ(m.FHDR.FCtrl.Bits.FPending, 1);
    EXPECT_EQ(m.FHDR.FCnt, 0x2345);
    EXPECT_EQ(Bytes(m.FHDR.FOpts, m.FHDR.FOpts + m.FHDR.FCtrl.Bits.FOptsLen), want.fopts);
    EXPECT_EQ(m.FPort, want.fport.value_or(0));
    EXPECT_EQ(Bytes(payload, payload + m.FRMPayloadSize), want.payload);
    EXPECT_EQ(m.MIC, want.mic);
  }
}

TEST(Parser, ThirteenBytesGiveAPortAndNoPayload) {
  uint8_t frame[13] = {0x60, 1, 2, 3, 4, 0x00, 9, 0, 42, 0xA, 0xB, 0xC, 0xD};
  LoRaMacMessageData_t m{};
  m.Buffer = frame;
  m.BufSize = 13;  // no payload buffer needed
  ASSERT_EQ(LoRaMacParserData(&m), LORAMAC_PARSER_SUCCESS);
  EXPECT_EQ(m.FPort, 42);
  EXPECT_EQ(m.FRMPayloadSize, 0);
  EXPECT_EQ(m.MIC, 0x0D0C0B0Au);
}

TEST(Parser, FrameShorterThanItsFOptsIsRefusedUntouched) {
  // FCtrl claims FOptsLen bytes, the frame ends earlier: the parser must
  // not read past the received bytes (the buffer is exactly the frame).
  for (uint8_t fOptsLen = 0; fOptsLen <= 15; ++fOptsLen) {
    for (uint8_t size = 6; size < 12 + fOptsLen; ++size) {
      SCOPED_TRACE(testing::Message()
                   << "FOptsLen " << int(fOptsLen) << ", " << int(size) << " bytes");
      std::vector<uint8_t> frame(size, 0x11);
      frame[0] = 0x60;
      frame[5] = fOptsLen;
      uint8_t payload[4] = {};
      LoRaMacMessageData_t m;
      std::memset(&m, 0x5A, sizeof m);
      m.Buffer = frame.data();
      m.BufSize = size;
      m.FRMPayload = payload;
      LoRaMacMessageData_t before;
      std::memcpy(&before, &m, sizeof m);
      EXPECT_EQ(LoRaMacParserData(&m), LORAMAC_PARSER_FAIL);
      EXPECT_EQ(std::memcmp(&m, &before, sizeof m), 0) << "record changed";
    }
  }
  LoRaMacMessageData_t m{};
  m.BufSize = 12;
  EXPECT_EQ(LoRaMacParserData(&m), LORAMAC_PARSER_ERROR_NPE);
  EXPECT_EQ(LoRaMacParserData(nullptr), LORAMAC_PARSER_ERROR_NPE);
}

}  // namespace
