// The MAC core in EU868 on a virtual clock: initialisation, the information
// base, the TX-possible query, class switches, requests and the process
// step, a join and data exchanges on a recording radio with downlinks built
// here independently (AES and AES-CMAC of the soft secure element's
// primitives, frame layouts of the public LoRaWAN 1.0.x text).
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <optional>
#include <vector>

#include "LoRaMac.h"
#include "LoRaMacCommands.h"
#include "LoRaMacNvm.h"
#include "Region.h"
#include "aes.h"
#include "cmac.h"
#include "mac_core_fakes.h"

namespace {

using mac_world::client;
using mac_world::radio;
using Bytes = std::vector<uint8_t>;

const uint8_t kNwkSKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                              0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const uint8_t kAppSKey[16] = {0x3C, 0x4F, 0xCF, 0x09, 0x88, 0x15, 0xF7, 0xAB,
                              0xA6, 0xD2, 0xAE, 0x28, 0x16, 0x15, 0x7E, 0x2B};
const uint8_t kAppKey[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                             0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
uint8_t kDevEui[8] = {0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x00, 0x01};
uint8_t kJoinEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint32_t kDevAddr = 0x26011234;

// --- frames built the network's way ------------------------------------------

void Aes(const uint8_t key[16], const uint8_t in[16], uint8_t out[16], bool decrypt = false) {
  aes_context ctx;
  aes_set_key(key, 16, &ctx);
  if (decrypt)
    aes_decrypt(in, out, &ctx);
  else
    aes_encrypt(in, out, &ctx);
}

uint32_t Cmac4(const uint8_t key[16], const Bytes& msg) {
  AES_CMAC_CTX ctx;
  uint8_t digest[16];
  AES_CMAC_Init(&ctx);
  AES_CMAC_SetKey(&ctx, key);
  AES_CMAC_Update(&ctx, msg.data(), (uint32_t)msg.size());
  AES_CMAC_Final(digest, &ctx);
  return (uint32_t)digest[0] | (uint32_t)digest[1] << 8 | (uint32_t)digest[2] << 16 |
         (uint32_t)digest[3] << 24;
}

void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((uint8_t)(v >> (8 * i)));
}

struct Down {
  uint8_t Mhdr = 0x60;  // unconfirmed data down
  uint32_t DevAddr = kDevAddr;
  uint8_t FCtrl = 0;
  uint32_t FCnt = 0;
  Bytes FOpts;
  std::optional<uint8_t> Port;
  Bytes Payload;
  bool BadMic = false;
};

// A 1.0.x data downlink: payload encrypted with the AppSKey (NwkSKey on
// port 0), MIC over B0 and the frame with the NwkSKey.
Bytes BuildDown(const Down& d, const uint8_t nwkSKey[16] = kNwkSKey,
                const uint8_t appSKey[16] = kAppSKey) {
  Bytes f{d.Mhdr};
  PutLe32(f, d.DevAddr);
  f.push_back((uint8_t)((d.FCtrl & 0xF0) | d.FOpts.size()));
  f.push_back((uint8_t)d.FCnt);
  f.push_back((uint8_t)(d.FCnt >> 8));
  f.insert(f.end(), d.FOpts.begin(), d.FOpts.end());
  if (d.Port) {
    f.push_back(*d.Port);
    const uint8_t* key = (*d.Port == 0) ? nwkSKey : appSKey;
    for (size_t i = 0; i < d.Payload.size(); i += 16) {
      Bytes a{0x01, 0, 0, 0, 0, 0x01};
      PutLe32(a, d.DevAddr);
      PutLe32(a, d.FCnt);
      a.push_back(0);
      a.push_back((uint8_t)(i / 16 + 1));
      uint8_t s[16];
      Aes(key, a.data(), s);
      for (size_t j = 0; j < 16 && i + j < d.Payload.size(); j++)
        f.push_back(d.Payload[i + j] ^ s[j]);
    }
  }
  Bytes b0{0x49, 0, 0, 0, 0, 0x01};
  PutLe32(b0, d.DevAddr);
  PutLe32(b0, d.FCnt);
  b0.push_back(0);
  b0.push_back((uint8_t)f.size());
  b0.insert(b0.end(), f.begin(), f.end());
  uint32_t mic = Cmac4(nwkSKey, b0) ^ (d.BadMic ? 1u : 0u);
  PutLe32(f, mic);
  return f;
}

// A join accept as a network sends it: the MIC over the plain frame, then
// bytes after the MHDR AES-decrypted with the AppKey.
Bytes BuildJoinAccept(uint32_t joinNonce, uint32_t netId, uint32_t devAddr, uint8_t dlSettings,
                      uint8_t rxDelay, const Bytes& cfList = {}) {
  Bytes plain{0x20};
  for (int i = 0; i < 3; i++) plain.push_back((uint8_t)(joinNonce >> (8 * i)));
  for (int i = 0; i < 3; i++) plain.push_back((uint8_t)(netId >> (8 * i)));
  PutLe32(plain, devAddr);
  plain.push_back(dlSettings);
  plain.push_back(rxDelay);
  plain.insert(plain.end(), cfList.begin(), cfList.end());
  PutLe32(plain, Cmac4(kAppKey, plain));
  Bytes out{plain[0]};
  for (size_t i = 1; i < plain.size(); i += 16) {
    uint8_t block[16];
    Aes(kAppKey, &plain[i], block, true);
    out.insert(out.end(), block, block + 16);
  }
  return out;
}

// --- the MAC under test ------------------------------------------------------

LoRaMacStatus_t MibSet(Mib_t type, MibParam_t param) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param = param;
  return LoRaMacMibSetRequestConfirm(&mib);
}

MibParam_t MibGet(Mib_t type, LoRaMacStatus_t* status = nullptr) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  LoRaMacStatus_t s = LoRaMacMibGetRequestConfirm(&mib);
  if (status) *status = s;
  return mib.Param;
}

class MacCore : public ::testing::Test {
 protected:
  void SetUp() override {
    mac_world::Reset();
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
  }

  // An ABP device of a LoRaWAN 1.0.3 network (or \a version), duty cycle
  // off, started.
  void StartAbp(uint32_t version = 0x01000300) {
    MibParam_t p{};
    p.AbpLrWanVersion.Value = version;
    ASSERT_EQ(MibSet(MIB_ABP_LORAWAN_VERSION, p), LORAMAC_STATUS_OK);
    p.DevAddr = kDevAddr;
    ASSERT_EQ(MibSet(MIB_DEV_ADDR, p), LORAMAC_STATUS_OK);
    for (Mib_t key : {MIB_F_NWK_S_INT_KEY, MIB_S_NWK_S_INT_KEY, MIB_NWK_S_ENC_KEY}) {
      p.NwkSEncKey = const_cast<uint8_t*>(kNwkSKey);
      ASSERT_EQ(MibSet(key, p), LORAMAC_STATUS_OK);
    }
    p.AppSKey = const_cast<uint8_t*>(kAppSKey);
    ASSERT_EQ(MibSet(MIB_APP_S_KEY, p), LORAMAC_STATUS_OK);
    p.NetworkActivation = ACTIVATION_TYPE_ABP;
    ASSERT_EQ(MibSet(MIB_NETWORK_ACTIVATION, p), LORAMAC_STATUS_OK);
    LoRaMacTestSetDutyCycleOn(false);
    ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  }

  void StartOtaa() {
    MibParam_t p{};
    p.DevEui = kDevEui;
    ASSERT_EQ(MibSet(MIB_DEV_EUI, p), LORAMAC_STATUS_OK);
    p.JoinEui = kJoinEui;
    ASSERT_EQ(MibSet(MIB_JOIN_EUI, p), LORAMAC_STATUS_OK);
    p.AppKey = const_cast<uint8_t*>(kAppKey);
    ASSERT_EQ(MibSet(MIB_APP_KEY, p), LORAMAC_STATUS_OK);
    p.NwkKey = const_cast<uint8_t*>(kAppKey);
    ASSERT_EQ(MibSet(MIB_NWK_KEY, p), LORAMAC_STATUS_OK);
    LoRaMacTestSetDutyCycleOn(false);
    ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  }

  LoRaMacStatus_t SendUnconfirmed(uint8_t port, Bytes payload, bool confirmed = false) {
    payload_ = payload;
    McpsReq_t req{};
    req.Type = confirmed ? MCPS_CONFIRMED : MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fPort = port;
    req.Req.Unconfirmed.fBuffer = payload_.empty() ? nullptr : payload_.data();
    req.Req.Unconfirmed.fBufferSize = (uint16_t)payload_.size();
    req.Req.Unconfirmed.Datarate = DR_0;
    return LoRaMacMcpsRequest(&req);
  }

  // One unconfirmed uplink on port 2 whose RX1 brings \a d (FCnt given by
  // the caller); runs to the end of the exchange.
  void ExchangeWithRx1(Down d) {
    size_t rxBefore = radio.Rx.size();
    radio.Air = [&, d, rxBefore](const mac_world::RxCall&) -> std::optional<Bytes> {
      if (radio.Rx.size() != rxBefore + 1) return std::nullopt;
      return BuildDown(d);
    };
    ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
    mac_world::RunFor(5000);
    radio.Air = nullptr;
  }

  // The FOpts of the next uplink.
  Bytes NextUplinkFOpts() {
    EXPECT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
    const Bytes& up = radio.Sent.back().Bytes;
    Bytes fopts(up.begin() + 8, up.begin() + 8 + (up[5] & 0x0F));
    mac_world::RunFor(5000);
    return fopts;
  }

  Bytes payload_;
};

// --- initialisation, defaults, information base --------------------------------

TEST_F(MacCore, InitialisationRefusesMissingPrimitivesAndUnknownRegions) {
  LoRaMacPrimitives_t noIndication = mac_world::primitives;
  noIndication.MacMlmeIndication = nullptr;
  EXPECT_EQ(LoRaMacInitialization(nullptr, &mac_world::callbacks, LORAMAC_REGION_EU868),
            LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(LoRaMacInitialization(&mac_world::primitives, nullptr, LORAMAC_REGION_EU868),
            LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(LoRaMacInitialization(&noIndication, &mac_world::callbacks, LORAMAC_REGION_EU868),
            LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(
      LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, (LoRaMacRegion_t)11),
      LORAMAC_STATUS_REGION_NOT_SUPPORTED);

  ASSERT_EQ(
      LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
      LORAMAC_STATUS_OK);
  // Stopped is not busy; started and idle is not busy either.
  EXPECT_FALSE(LoRaMacIsBusy());
  EXPECT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  EXPECT_FALSE(LoRaMacIsBusy());
  EXPECT_EQ(LoRaMacStop(), LORAMAC_STATUS_OK);
  EXPECT_TRUE(radio.PublicNetwork);
}

TEST_F(MacCore, Eu868DefaultsThroughTheInformationBase) {
  EXPECT_EQ(MibGet(MIB_DEVICE_CLASS).Class, CLASS_A);
  EXPECT_EQ(MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation, ACTIVATION_TYPE_NONE);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 1000u);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_2).ReceiveDelay2, 2000u);
  EXPECT_EQ(MibGet(MIB_JOIN_ACCEPT_DELAY_1).JoinAcceptDelay1, 5000u);
  EXPECT_EQ(MibGet(MIB_JOIN_ACCEPT_DELAY_2).JoinAcceptDelay2, 6000u);
  EXPECT_EQ(MibGet(MIB_MAX_RX_WINDOW_DURATION).MaxRxWindow, 3000u);
  EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Frequency, 869525000u);
  EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_0);
  EXPECT_EQ(MibGet(MIB_RXC_CHANNEL).RxCChannel.Frequency, 869525000u);
  EXPECT_EQ(MibGet(MIB_ADR_ACK_LIMIT).AdrAckLimit, 64);
  EXPECT_EQ(MibGet(MIB_ADR_ACK_DELAY).AdrAckDelay, 32);
  EXPECT_EQ(MibGet(MIB_CHANNELS_NB_TRANS).ChannelsNbTrans, 1);
  EXPECT_EQ(MibGet(MIB_SYSTEM_MAX_RX_ERROR).SystemMaxRxError, 10u);
  EXPECT_EQ(MibGet(MIB_MIN_RX_SYMBOLS).MinRxSymbols, 6);
  EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_0);
  EXPECT_EQ(MibGet(MIB_CHANNELS_MIN_TX_DATARATE).ChannelsMinTxDatarate, DR_0);
  EXPECT_EQ(MibGet(MIB_CHANNELS_TX_POWER).ChannelsTxPower, TX_POWER_0);
  EXPECT_EQ(MibGet(MIB_LORAWAN_VERSION).LrWanVersion.LoRaWan.Value, 0x01010100u);
  EXPECT_TRUE(MibGet(MIB_PUBLIC_NETWORK).EnablePublicNetwork);
  EXPECT_TRUE(MibGet(MIB_IS_CERT_FPORT_ON).IsCertPortOn);
  EXPECT_FALSE(MibGet(MIB_ADR).AdrEnable);
  EXPECT_EQ(MibGet(MIB_CHANNELS).ChannelList[0].Frequency, 868100000u);
  EXPECT_EQ(MibGet(MIB_CHANNELS_MASK).ChannelsMask[0], 0x0007);
}

struct MibSetCase {
  const char* Name;
  Mib_t Type;
  std::function<void(MibParam_t&)> Fill;
  LoRaMacStatus_t Expected;
};

TEST_F(MacCore, InformationBaseSetTable) {
  const std::vector<MibSetCase> cases = {
      {"NbTrans 0", MIB_CHANNELS_NB_TRANS, [](MibParam_t& p) { p.ChannelsNbTrans = 0; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"NbTrans 1", MIB_CHANNELS_NB_TRANS, [](MibParam_t& p) { p.ChannelsNbTrans = 1; },
       LORAMAC_STATUS_OK},
      {"NbTrans 15", MIB_CHANNELS_NB_TRANS, [](MibParam_t& p) { p.ChannelsNbTrans = 15; },
       LORAMAC_STATUS_OK},
      {"NbTrans 16", MIB_CHANNELS_NB_TRANS, [](MibParam_t& p) { p.ChannelsNbTrans = 16; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"max RX error 500", MIB_SYSTEM_MAX_RX_ERROR, [](MibParam_t& p) { p.SystemMaxRxError = 500; },
       LORAMAC_STATUS_OK},
      {"max RX error 501", MIB_SYSTEM_MAX_RX_ERROR, [](MibParam_t& p) { p.SystemMaxRxError = 501; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"activation OTAA", MIB_NETWORK_ACTIVATION,
       [](MibParam_t& p) { p.NetworkActivation = ACTIVATION_TYPE_OTAA; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"activation ABP", MIB_NETWORK_ACTIVATION,
       [](MibParam_t& p) { p.NetworkActivation = ACTIVATION_TYPE_ABP; }, LORAMAC_STATUS_OK},
      {"RSSI threshold outside LBT regions", MIB_RSSI_FREE_THRESHOLD,
       [](MibParam_t& p) { p.RssiFreeThreshold = -80; }, LORAMAC_STATUS_ERROR},
      {"rejoin cycle without OTAA", MIB_REJOIN_0_CYCLE,
       [](MibParam_t& p) { p.Rejoin0CycleInSec = 100; }, LORAMAC_STATUS_PARAMETER_INVALID},
      {"channel list", MIB_CHANNELS, [](MibParam_t&) {}, LORAMAC_STATUS_SERVICE_UNKNOWN},
      {"beacon interval", MIB_BEACON_INTERVAL, [](MibParam_t&) {}, LORAMAC_STATUS_SERVICE_UNKNOWN},
      {"item 77", (Mib_t)77, [](MibParam_t&) {}, LORAMAC_STATUS_SERVICE_UNKNOWN},
      {"ABP version 1.2", MIB_ABP_LORAWAN_VERSION,
       [](MibParam_t& p) { p.AbpLrWanVersion.Value = 0x01020000; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"datarate DR5", MIB_CHANNELS_DATARATE, [](MibParam_t& p) { p.ChannelsDatarate = DR_5; },
       LORAMAC_STATUS_OK},
      {"datarate DR8", MIB_CHANNELS_DATARATE, [](MibParam_t& p) { p.ChannelsDatarate = DR_8; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"RX2 at 869.525 MHz DR3", MIB_RX2_CHANNEL,
       [](MibParam_t& p) {
         p.Rx2Channel = {869525000, DR_3};
       },
       LORAMAC_STATUS_OK},
      {"RX2 at 915 MHz", MIB_RX2_CHANNEL,
       [](MibParam_t& p) {
         p.Rx2Channel = {915000000, DR_3};
       },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"null key", MIB_APP_KEY, [](MibParam_t& p) { p.AppKey = nullptr; },
       LORAMAC_STATUS_PARAMETER_INVALID},
      {"null context", MIB_NVM_CTXS, [](MibParam_t& p) { p.Contexts = nullptr; },
       LORAMAC_STATUS_PARAMETER_INVALID},
  };
  for (const auto& c : cases) {
    MibParam_t p{};
    c.Fill(p);
    EXPECT_EQ(MibSet(c.Type, p), c.Expected) << c.Name;
  }
  EXPECT_EQ(MibGet(MIB_CHANNELS_NB_TRANS).ChannelsNbTrans, 15);
  EXPECT_EQ(MibGet(MIB_SYSTEM_MAX_RX_ERROR).SystemMaxRxError, 500u);
  EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_5);
  LoRaMacStatus_t status;
  MibGet(MIB_RSSI_FREE_THRESHOLD, &status);
  EXPECT_EQ(status, LORAMAC_STATUS_ERROR);
}

TEST_F(MacCore, SetsAreRefusedWhileATransmissionRunsAndGetsStillAnswer) {
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  MlmeReq_t cw{};
  cw.Type = MLME_TXCW;
  cw.Req.TxCw = {2, 868100000, 14};
  ASSERT_EQ(LoRaMacMlmeRequest(&cw), LORAMAC_STATUS_OK);
  EXPECT_TRUE(LoRaMacIsBusy());
  MibParam_t p{};
  p.AdrEnable = true;
  EXPECT_EQ(MibSet(MIB_ADR, p), LORAMAC_STATUS_BUSY);
  LoRaMacStatus_t status;
  MibGet(MIB_ADR, &status);
  EXPECT_EQ(status, LORAMAC_STATUS_OK);
  EXPECT_EQ(LoRaMacStop(), LORAMAC_STATUS_BUSY);

  // The carrier's end completes the request; sets are taken again.
  mac_world::RunFor(2500);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  EXPECT_EQ(client.MlmeConfirms[0].MlmeRequest, MLME_TXCW);
  EXPECT_EQ(MibSet(MIB_ADR, p), LORAMAC_STATUS_OK);
}

TEST_F(MacCore, ContextRestoreTakesOnlyGroupsWhoseCrcHolds) {
  MibParam_t p{};
  p.DevAddr = kDevAddr;
  ASSERT_EQ(MibSet(MIB_DEV_ADDR, p), LORAMAC_STATUS_OK);
  p.ChannelsDatarate = DR_4;
  ASSERT_EQ(MibSet(MIB_CHANNELS_DATARATE, p), LORAMAC_STATUS_OK);
  // A stored copy with valid CRCs: an idle process step after a set
  // stores them...
  LoRaMacNvmData_t* live = MibGet(MIB_NVM_CTXS).Contexts;
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  LoRaMacProcess();
  LoRaMacNvmData_t stored = *live;
  // ... whose crypto group is damaged.
  stored.Crypto.FCntList.FCntUp = 77;

  EXPECT_EQ(MibSet(MIB_NVM_CTXS, MibParam_t{.Contexts = &stored}), LORAMAC_STATUS_BUSY);
  ASSERT_EQ(LoRaMacStop(), LORAMAC_STATUS_OK);

  ASSERT_EQ(
      LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
      LORAMAC_STATUS_OK);
  EXPECT_EQ(MibSet(MIB_NVM_CTXS, MibParam_t{.Contexts = &stored}), LORAMAC_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_DEV_ADDR).DevAddr, kDevAddr);
  EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_4);
  EXPECT_EQ(MibGet(MIB_NVM_CTXS).Contexts->Crypto.FCntList.FCntUp, 0u);
}

// --- TX-possible query and payload sizes ----------------------------------------

TEST_F(MacCore, TxPossibleTable) {
  struct Case {
    int8_t Dr;
    uint8_t CmdBytes;  // LinkCheckReq commands, one byte each
    uint8_t Size;
    LoRaMacStatus_t Expected;
    uint8_t MaxApp;
    uint8_t Current;
  };
  const Case cases[] = {
      {DR_0, 0, 51, LORAMAC_STATUS_OK, 51, 51},
      {DR_0, 0, 52, LORAMAC_STATUS_LENGTH_ERROR, 51, 51},
      {DR_0, 15, 36, LORAMAC_STATUS_OK, 36, 51},
      {DR_0, 15, 37, LORAMAC_STATUS_LENGTH_ERROR, 36, 51},
      {DR_0, 16, 0, LORAMAC_STATUS_LENGTH_ERROR, 0, 51},
      {DR_5, 15, 227, LORAMAC_STATUS_OK, 227, 242},
      {DR_5, 0, 242, LORAMAC_STATUS_OK, 242, 242},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
    MibParam_t p{};
    p.ChannelsDatarate = c.Dr;
    ASSERT_EQ(MibSet(MIB_CHANNELS_DATARATE, p), LORAMAC_STATUS_OK);
    uint8_t none = 0;
    for (int i = 0; i < c.CmdBytes; i++)
      ASSERT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_LINK_CHECK_REQ, &none, 0), LORAMAC_COMMANDS_SUCCESS);
    LoRaMacTxInfo_t info{};
    EXPECT_EQ(LoRaMacQueryTxPossible(c.Size, &info), c.Expected)
        << (int)c.Dr << "/" << (int)c.CmdBytes;
    EXPECT_EQ(info.MaxPossibleApplicationDataSize, c.MaxApp) << (int)c.Dr << "/" << (int)c.CmdBytes;
    EXPECT_EQ(info.CurrentPossiblePayloadSize, c.Current);
  }
  EXPECT_EQ(LoRaMacQueryTxPossible(1, nullptr), LORAMAC_STATUS_PARAMETER_INVALID);
}

TEST_F(MacCore, MaxPayloadWithCommandsIsZeroWhenTheCommandsFillTheFrame) {
  EXPECT_EQ(GetMaxAppPayloadWithFOptsLength(), 51);
  uint8_t status[2] = {0xFF, 0x05};
  for (int i = 0; i < 17; i++)  // 51 bytes of DevStatusAns
    ASSERT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, status, 2), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(GetMaxAppPayloadWithFOptsLength(), 0);
  ASSERT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, status, 2), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(GetMaxAppPayloadWithFOptsLength(), 0);
}

// --- class switches -----------------------------------------------------------

TEST_F(MacCore, ClassSwitchTable) {
  auto setClass = [](DeviceClass_t c) {
    MibParam_t p{};
    p.Class = c;
    return MibSet(MIB_DEVICE_CLASS, p);
  };
  MibParam_t version{};
  version.AbpLrWanVersion.Value = 0x01000300;
  ASSERT_EQ(MibSet(MIB_ABP_LORAWAN_VERSION, version), LORAMAC_STATUS_OK);
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  EXPECT_EQ(setClass(CLASS_A), LORAMAC_STATUS_OK);
  // Class B never becomes ready without beacon tracking.
  EXPECT_EQ(setClass(CLASS_B), LORAMAC_STATUS_SERVICE_UNKNOWN);
  EXPECT_EQ(MibGet(MIB_DEVICE_CLASS).Class, CLASS_A);

  EXPECT_EQ(setClass(CLASS_C), LORAMAC_STATUS_OK);
  ASSERT_FALSE(radio.Rx.empty());
  EXPECT_TRUE(radio.Rx.back().Continuous);
  EXPECT_EQ(radio.Rx.back().Frequency, 869525000u);
  EXPECT_EQ(radio.Rx.back().Datarate, 12u);  // DR0 is SF12
  EXPECT_EQ(setClass(CLASS_B), LORAMAC_STATUS_PARAMETER_INVALID);
  EXPECT_EQ(setClass(CLASS_C), LORAMAC_STATUS_PARAMETER_INVALID);

  EXPECT_EQ(setClass(CLASS_A), LORAMAC_STATUS_OK);
  EXPECT_EQ(radio.Ops.back(), "sleep");
  // On a 1.0.x network no DeviceModeInd is queued.
  MacCommand_t* cmd = nullptr;
  EXPECT_NE(LoRaMacCommandsGetCmd(MOTE_MAC_DEVICE_MODE_IND, &cmd), LORAMAC_COMMANDS_SUCCESS);
}

TEST_F(MacCore, ClassSwitchOnA11NetworkQueuesDeviceModeInd) {
  MibParam_t p{};
  p.AbpLrWanVersion.Value = 0x01010000;
  ASSERT_EQ(MibSet(MIB_ABP_LORAWAN_VERSION, p), LORAMAC_STATUS_OK);
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);
  MacCommand_t* cmd = nullptr;
  ASSERT_EQ(LoRaMacCommandsGetCmd(MOTE_MAC_DEVICE_MODE_IND, &cmd), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(cmd->Payload[0], CLASS_C);
}

// --- requests and the process step -------------------------------------------------

TEST_F(MacCore, AbpJoinRequestIsConfirmedTenMillisecondsLater) {
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_ABP;
  uint64_t t0 = mac_world::Now();
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  EXPECT_TRUE(LoRaMacIsBusy());
  mac_world::RunUntil(t0 + 9);
  EXPECT_TRUE(client.MlmeConfirms.empty());
  mac_world::RunUntil(t0 + 10);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  EXPECT_EQ(client.MlmeConfirms[0].MlmeRequest, MLME_JOIN);
  EXPECT_EQ(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation, ACTIVATION_TYPE_ABP);
  EXPECT_FALSE(LoRaMacIsBusy());
  // The exchange's end reports the context, also when nothing changed.
  EXPECT_EQ(client.Calls, (std::vector<std::string>{"mlme-confirm", "nvm"}));
}

TEST_F(MacCore, RequestRefusals) {
  ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  EXPECT_EQ(SendUnconfirmed(2, {1}), LORAMAC_STATUS_NO_NETWORK_JOINED);
  McpsReq_t multicast{};
  multicast.Type = MCPS_MULTICAST;
  EXPECT_EQ(LoRaMacMcpsRequest(&multicast), LORAMAC_STATUS_SERVICE_UNKNOWN);
  McpsReq_t proprietary{};
  proprietary.Type = MCPS_PROPRIETARY;
  EXPECT_EQ(LoRaMacMcpsRequest(&proprietary), LORAMAC_STATUS_SERVICE_UNKNOWN);
  MlmeReq_t m{};
  m.Type = MLME_DERIVE_MC_KE_KEY;
  EXPECT_EQ(LoRaMacMlmeRequest(&m), LORAMAC_STATUS_SERVICE_UNKNOWN);
  EXPECT_EQ(LoRaMacMlmeRequest(nullptr), LORAMAC_STATUS_PARAMETER_INVALID);
  // Five link checks fill the confirm queue; a sixth request is busy.
  m.Type = MLME_LINK_CHECK;
  for (int i = 0; i < 5; i++) EXPECT_EQ(LoRaMacMlmeRequest(&m), LORAMAC_STATUS_OK);
  EXPECT_EQ(LoRaMacMlmeRequest(&m), LORAMAC_STATUS_BUSY);
  EXPECT_TRUE(radio.Sent.empty());
}

TEST_F(MacCore, OtaaJoinOpensBothWindowsAndTakesTheAcceptInRx1) {
  StartOtaa();
  bool answer = false;
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    if (!answer) return std::nullopt;
    return BuildJoinAccept(0x000001, 0x000013, 0x26AB0001, 0x00, 5);
  };

  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
  join.Req.Join.Datarate = DR_0;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  ASSERT_EQ(radio.Sent.size(), 1u);
  const auto& req = radio.Sent[0];
  ASSERT_EQ(req.Bytes.size(), 23u);
  EXPECT_EQ(req.Bytes[0], 0x00);
  EXPECT_EQ(req.Bytes[1], kJoinEui[7]);  // EUIs least significant byte first
  EXPECT_EQ(req.Bytes[9], kDevEui[7]);

  RxConfigParams_t w1{}, w2{};
  RegionComputeRxWindowParameters(LORAMAC_REGION_EU868, DR_0, 6, 10, &w1);
  RegionComputeRxWindowParameters(LORAMAC_REGION_EU868, DR_0, 6, 10, &w2);
  uint64_t txDone = req.At + radio.AirTimeMs;

  // No answer: RX1 and RX2 both open, and the join fails.
  mac_world::RunFor(8000);
  ASSERT_EQ(radio.Rx.size(), 2u);
  EXPECT_EQ(radio.Rx[0].At, txDone + 5000 + w1.WindowOffset);
  EXPECT_EQ(radio.Rx[0].Frequency, req.Frequency);
  EXPECT_EQ(radio.Rx[1].At, txDone + 6000 + w2.WindowOffset);
  EXPECT_EQ(radio.Rx[1].Frequency, 869525000u);
  EXPECT_EQ(radio.Rx[1].Timeout, 3000u);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  EXPECT_NE(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation, ACTIVATION_TYPE_NONE);

  // Answered in RX1: joined, RX2 never opens, the receive delays follow
  // the accept's RxDelay.
  answer = true;
  radio.Rx.clear();
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(radio.Rx.size(), 1u);
  ASSERT_EQ(client.MlmeConfirms.size(), 2u);
  EXPECT_EQ(client.MlmeConfirms[1].MlmeRequest, MLME_JOIN);
  EXPECT_EQ(client.MlmeConfirms[1].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation, ACTIVATION_TYPE_OTAA);
  EXPECT_EQ(MibGet(MIB_DEV_ADDR).DevAddr, 0x26AB0001u);
  EXPECT_EQ(MibGet(MIB_NET_ID).NetID, 0x13u);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 5000u);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_2).ReceiveDelay2, 6000u);
  EXPECT_EQ(MibGet(MIB_LORAWAN_VERSION).LrWanVersion.LoRaWan.Value, 0x01000400u);
}

// A join accept whose RX2 datarate the region refuses is refused whole,
// before it changes anything: the session keys, the stored JoinNonce and
// the counters stay as the previous join left them, so a later accept of
// the network with the next nonce is still taken.
TEST_F(MacCore, RefusedJoinAcceptLeavesTheSessionAlone) {
  StartOtaa();
  uint32_t joinNonce = 1;
  uint8_t dlSettings = 0x00;
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (call.Frequency == 869525000u) return std::nullopt;  // RX1 only
    return BuildJoinAccept(joinNonce, 0x000013, 0x26AB0001, dlSettings, 1);
  };
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  ASSERT_EQ(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (call.Frequency == 869525000u || dlSettings == 0x00) return std::nullopt;
    return BuildJoinAccept(joinNonce, 0x000013, 0x26AB0001, dlSettings, 1);
  };
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  mac_world::RunFor(5000);

  const LoRaMacNvmData_t* nvm = MibGet(MIB_NVM_CTXS).Contexts;
  const LoRaMacCryptoNvmData_t crypto = nvm->Crypto;
  const SecureElementNvmData_t se = nvm->SecureElement;
  auto sessionKeys = [](const SecureElementNvmData_t& e) {
    Bytes keys;
    for (const Key_t& k : e.KeyList) {
      if (k.KeyID == APP_S_KEY || k.KeyID == NWK_S_ENC_KEY || k.KeyID == F_NWK_S_INT_KEY ||
          k.KeyID == S_NWK_S_INT_KEY)
        keys.insert(keys.end(), k.KeyValue, k.KeyValue + 16);
    }
    return keys;
  };
  ASSERT_EQ(crypto.JoinNonce, 1u);
  ASSERT_EQ(crypto.FCntList.FCntUp, 1u);

  // The next accept names RX2 datarate 9, which EU868 does not have.
  joinNonce = 2;
  dlSettings = 0x09;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(client.MlmeConfirms.size(), 2u);
  EXPECT_NE(client.MlmeConfirms[1].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(nvm->Crypto.JoinNonce, 1u);
  EXPECT_EQ(nvm->Crypto.FCntList.FCntUp, 1u);
  EXPECT_EQ(nvm->Crypto.FCntList.FCntDown, crypto.FCntList.FCntDown);
  EXPECT_EQ(sessionKeys(nvm->SecureElement), sessionKeys(se));
  EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_0);

  // The network's next accept, with a datarate the region has, is taken.
  dlSettings = 0x03;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(client.MlmeConfirms.size(), 3u);
  EXPECT_EQ(client.MlmeConfirms[2].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(nvm->Crypto.JoinNonce, 2u);
  EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_3);
}

// A rejoin cycle of 0 s set through the information base switches the
// periodic rejoin off: nothing is sent, where a timer restarted with no
// delay would send rejoin requests back to back.
TEST_F(MacCore, RejoinCycleOfZeroSendsNoRejoinRequests) {
  StartOtaa();
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    return BuildJoinAccept(0x000001, 0x000013, 0x26AB0001, 0x00, 1);
  };
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  ASSERT_EQ(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  radio.Air = nullptr;
  for (Mib_t item : {MIB_REJOIN_0_CYCLE, MIB_REJOIN_1_CYCLE}) {
    SCOPED_TRACE(item);
    MibParam_t p{};
    p.Rejoin0CycleInSec = 0;
    p.Rejoin1CycleInSec = 0;
    ASSERT_EQ(MibSet(item, p), LORAMAC_STATUS_OK);
    mac_world::RunFor(60000);
    EXPECT_EQ(radio.Sent.size(), 1u) << "the join request only";
    EXPECT_EQ(client.MlmeConfirms.size(), 1u);
  }
}

TEST_F(MacCore, JoinAcceptRxDelayUsesItsLowFourBitsOnly) {
  StartOtaa();
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    // RFU bits set above a delay of 3 s; DR 15 in DLSettings keeps RX2.
    return BuildJoinAccept(0x000001, 0x000013, 0x26AB0001, 0x0F, 0xF3);
  };
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  ASSERT_EQ(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 3000u);
  EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_2).ReceiveDelay2, 4000u);
  EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_0);
}

TEST_F(MacCore, UnconfirmedUplinkWithoutDownlinkIsConfirmedAfterRx2) {
  StartAbp();
  ASSERT_EQ(SendUnconfirmed(2, {0xAA, 0xBB}), LORAMAC_STATUS_OK);
  ASSERT_EQ(radio.Sent.size(), 1u);
  const Bytes& up = radio.Sent[0].Bytes;
  ASSERT_EQ(up.size(), 1u + 7 + 1 + 2 + 4);
  EXPECT_EQ(up[0], 0x40);
  EXPECT_EQ(up[1], 0x34);  // DevAddr least significant byte first
  EXPECT_EQ(up[6], 0x00);  // FCnt 0
  EXPECT_EQ(up[8], 2);
  mac_world::RunFor(5000);
  EXPECT_EQ(radio.Rx.size(), 2u);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.McpsConfirms[0].NbTrans, 1);
  EXPECT_EQ(client.McpsConfirms[0].UpLinkCounter, 1u);
  EXPECT_FALSE(LoRaMacIsBusy());
}

TEST_F(MacCore, ProcessStepDeliversConfirmsBeforeIndicationsAndReportsTheContextLast) {
  StartAbp();
  MlmeReq_t linkCheck{};
  linkCheck.Type = MLME_LINK_CHECK;
  ASSERT_EQ(LoRaMacMlmeRequest(&linkCheck), LORAMAC_STATUS_OK);
  int rxCount = 0;
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    if (rxCount++ > 0) return std::nullopt;
    Down d;
    d.FOpts = {0x02, 20, 3};  // LinkCheckAns: margin 20, 3 gateways
    d.Port = 5;
    d.Payload = {0x11, 0x22, 0x33};
    return BuildDown(d);
  };
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  // The LinkCheckReq rides in FOpts.
  const Bytes& up = radio.Sent[0].Bytes;
  EXPECT_EQ(up[5] & 0x0F, 1);
  EXPECT_EQ(up[8], 0x02);

  mac_world::RunFor(5000);
  EXPECT_EQ(client.Calls,
            (std::vector<std::string>{"mcps-confirm", "mlme-confirm", "mcps-indication", "nvm"}));
  EXPECT_EQ(radio.Rx.size(), 1u);  // a frame in RX1 leaves RX2 closed
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  EXPECT_EQ(client.MlmeConfirms[0].MlmeRequest, MLME_LINK_CHECK);
  EXPECT_EQ(client.MlmeConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.MlmeConfirms[0].DemodMargin, 20);
  EXPECT_EQ(client.MlmeConfirms[0].NbGateways, 3);
  ASSERT_EQ(client.McpsIndications.size(), 1u);
  EXPECT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.McpsIndications[0].Port, 5);
  EXPECT_EQ(client.McpsIndications[0].RxSlot, RX_SLOT_WIN_1);
  EXPECT_EQ(client.IndicationPayloads[0], (Bytes{0x11, 0x22, 0x33}));
  // The uplink counter and MAC group 1 changed.
  ASSERT_EQ(client.NvmFlags.size(), 1u);
  EXPECT_NE(client.NvmFlags[0] & LORAMAC_NVM_NOTIFY_FLAG_CRYPTO, 0);
  EXPECT_NE(client.NvmFlags[0] & LORAMAC_NVM_NOTIFY_FLAG_MAC_GROUP1, 0);
}

struct RefusalCase {
  const char* Name;
  std::function<Bytes()> Frame;
  LoRaMacEventInfoStatus_t Expected;
};

TEST_F(MacCore, DownlinkRefusalTable) {
  auto down = [](std::function<void(Down&)> edit) {
    return [edit] {
      Down d;
      d.FCnt = 5;
      d.Port = 3;
      d.Payload = {0x42};
      edit(d);
      return BuildDown(d);
    };
  };
  const std::vector<RefusalCase> cases = {
      {"shorter than 12 bytes",
       [] { return Bytes{0x60, 0x34, 0x12, 0x01, 0x26, 0, 0, 0, 0, 0, 0}; },
       LORAMAC_EVENT_INFO_STATUS_ERROR},
      {"foreign address", down([](Down& d) { d.DevAddr = 0x26019999; }),
       LORAMAC_EVENT_INFO_STATUS_ADDRESS_FAIL},
      {"wrong MIC", down([](Down& d) { d.BadMic = true; }), LORAMAC_EVENT_INFO_STATUS_MIC_FAIL},
      {"FOpts with port 0", down([](Down& d) {
         d.FOpts = {0x06};
         d.Port = 0;
       }),
       LORAMAC_EVENT_INFO_STATUS_ERROR},
      {"MHDR major 1", down([](Down& d) { d.Mhdr = 0x61; }), LORAMAC_EVENT_INFO_STATUS_ERROR},
      {"uplink MType", down([](Down& d) { d.Mhdr = 0x40; }), LORAMAC_EVENT_INFO_STATUS_ERROR},
      {"repeated FCnt", down([](Down& d) { d.FCnt = 4; }),
       LORAMAC_EVENT_INFO_STATUS_DOWNLINK_REPEATED},
      // Nothing authenticates a proprietary frame: anyone can send one.
      {"proprietary frame",
       [] {
         Bytes f(21, 0x00);
         f[0] = 0xE0;
         return f;
       },
       LORAMAC_EVENT_INFO_STATUS_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    mac_world::Reset();
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
    StartAbp();
    // A first exchange takes downlink counter 4.
    radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
      if (radio.Rx.size() != 1 || call.Continuous) return std::nullopt;
      Down d;
      d.FCnt = 4;
      return BuildDown(d);
    };
    ASSERT_EQ(SendUnconfirmed(2, {1}), LORAMAC_STATUS_OK);
    mac_world::RunFor(5000);
    ASSERT_EQ(client.McpsIndications.size(), 1u);
    ASSERT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);

    radio.Rx.clear();
    Bytes frame = c.Frame();
    radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
      if (radio.Rx.size() != 1) return std::nullopt;
      return frame;
    };
    ASSERT_EQ(SendUnconfirmed(2, {2}), LORAMAC_STATUS_OK);
    mac_world::RunFor(5000);
    ASSERT_EQ(client.McpsIndications.size(), 2u);
    EXPECT_EQ(client.McpsIndications[1].Status, c.Expected);
    EXPECT_FALSE(client.McpsIndications[1].RxData);
    if (c.Expected == LORAMAC_EVENT_INFO_STATUS_DOWNLINK_REPEATED) {
      EXPECT_EQ(client.McpsIndications[1].DownLinkCounter, 4u);
    }
    // A frame refused in RX1 leaves RX2 open for the network's answer:
    // the exchange ends only after RX2.
    ASSERT_EQ(radio.Rx.size(), 2u);
    ASSERT_EQ(client.McpsConfirms.size(), 2u);
    EXPECT_GT(client.McpsConfirmTimes[1], radio.Rx[1].At);
    EXPECT_FALSE(LoRaMacIsBusy());
  }
}

TEST_F(MacCore, CommandsThatDoNotFitFOptsWaitForTheNextUplink) {
  StartAbp();
  // Eight DevStatusAns: 24 bytes, more than FOpts holds.
  for (uint8_t i = 0; i < 8; i++) {
    uint8_t answer[2] = {0xFF, i};
    ASSERT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, answer, 2), LORAMAC_COMMANDS_SUCCESS);
  }
  ASSERT_EQ(SendUnconfirmed(2, {0x01, 0x02}), LORAMAC_STATUS_OK);
  const Bytes& first = radio.Sent[0].Bytes;
  EXPECT_EQ(first[5] & 0x0F, 15);                // five whole commands in FOpts
  EXPECT_EQ(first.size(), 8u + 15 + 1 + 2 + 4);  // and the application payload
  EXPECT_EQ(first[8 + 15], 2);
  mac_world::RunFor(5000);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);

  size_t left = 0;
  ASSERT_EQ(LoRaMacCommandsGetSizeSerializedCmds(&left), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(left, 9u);
  ASSERT_EQ(SendUnconfirmed(2, {0x03}), LORAMAC_STATUS_OK);
  const Bytes& second = radio.Sent[1].Bytes;
  EXPECT_EQ(second[5] & 0x0F, 9);
  mac_world::RunFor(5000);
  ASSERT_EQ(LoRaMacCommandsGetSizeSerializedCmds(&left), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(left, 0u);
}

TEST_F(MacCore, ClassCWindowListensAgainAfterTheClientStoresTheContext) {
  StartAbp();
  MibParam_t p{};
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);
  // The client stores the context around a stop and a start, as the LoRa
  // service does for ABP devices.
  client.OnNvmDataChange = [](uint16_t) {
    ASSERT_EQ(LoRaMacStop(), LORAMAC_STATUS_OK);
    ASSERT_EQ(LoRaMacStart(), LORAMAC_STATUS_OK);
  };
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  mac_world::RunFor(5000);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  ASSERT_FALSE(client.NvmFlags.empty());
  // The last radio operation is a continuous reception, not the stop's sleep.
  EXPECT_EQ(radio.Ops.back(), "rx");
  EXPECT_TRUE(radio.Rx.back().Continuous);
}

TEST_F(MacCore, ClassCFrameArrivingAcrossAnUnrelatedProcessStepIsReceived) {
  StartAbp();
  // One frame on the air, long enough that a process step falls inside it.
  radio.RxFrameMs = 200;
  bool onAir = true;
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (!call.Continuous || !onAir) return std::nullopt;
    onAir = false;
    Down d;
    d.Port = 3;
    d.Payload = {0x5A, 0xA5};
    return BuildDown(d);
  };
  MibParam_t p{};
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);
  ASSERT_FALSE(onAir);
  mac_world::RunFor(50);
  // An ABP activation completes by a timer and a process step with its
  // confirm and context report, while the frame is still arriving.
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_ABP;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(1000);
  ASSERT_EQ(client.MlmeConfirms.size(), 1u);
  ASSERT_EQ(client.McpsIndications.size(), 1u);
  // The class switch was stored at once; the activation's step came while
  // the frame arrived, before its indication.
  EXPECT_EQ(client.Calls.front(), "nvm");
  const auto confirm = std::find(client.Calls.begin(), client.Calls.end(), "mlme-confirm");
  const auto indication = std::find(client.Calls.begin(), client.Calls.end(), "mcps-indication");
  EXPECT_LT(confirm, indication);
  EXPECT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.McpsIndications[0].RxSlot, RX_SLOT_WIN_CLASS_C);
  EXPECT_EQ(client.IndicationPayloads[0], (Bytes{0x5A, 0xA5}));
  // After the frame the window closed and listens again.
  EXPECT_EQ(radio.Ops.back(), "rx");
  EXPECT_TRUE(radio.Rx.back().Continuous);
}

TEST_F(MacCore, TxTimeoutEndsTheExchangeWithTxTimeout) {
  StartAbp();
  radio.TxTimesOut = true;
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  mac_world::RunFor(5000);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT);
  EXPECT_FALSE(LoRaMacIsBusy());
}

TEST_F(MacCore, ClassCDeviceAsksForAnAcknowledgementUntilItHearsTheNetwork) {
  StartOtaa();
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    if (radio.Rx.size() != 1) return std::nullopt;
    return BuildJoinAccept(0x000001, 0x000013, 0x26AB0001, 0x00, 1);
  };
  MlmeReq_t join{};
  join.Type = MLME_JOIN;
  join.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
  ASSERT_EQ(LoRaMacMlmeRequest(&join), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(MibGet(MIB_NETWORK_ACTIVATION).NetworkActivation, ACTIVATION_TYPE_OTAA);
  radio.Air = nullptr;

  MibParam_t p{};
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  EXPECT_EQ(radio.Sent.back().Bytes[0], 0x80);
  mac_world::RunFor(10000);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].McpsRequest, MCPS_CONFIRMED);
}

TEST_F(MacCore, RestoredContextRefersToThisDevicesMulticastCounters) {
  LoRaMacNvmData_t stored = *MibGet(MIB_NVM_CTXS).Contexts;
  for (uint32_t i = 0; i < 4; i++)
    stored.MacGroup2.MulticastChannelList[i].DownLinkCounterRef = 0xDEAD0000 + i;
  stored.MacGroup2.DevAddr = kDevAddr;
  stored.MacGroup2.Crc32 = LoRaMacNvmGroupCrc(&stored.MacGroup2, sizeof(stored.MacGroup2));
  ASSERT_EQ(MibSet(MIB_NVM_CTXS, MibParam_t{.Contexts = &stored}), LORAMAC_STATUS_OK);
  const LoRaMacNvmData_t* live = MibGet(MIB_NVM_CTXS).Contexts;
  EXPECT_EQ(live->MacGroup2.DevAddr, kDevAddr);
  for (uint32_t i = 0; i < 4; i++)
    EXPECT_EQ(live->MacGroup2.MulticastChannelList[i].DownLinkCounterRef, i);
}

struct CommandCase {
  const char* Name;
  Bytes FOpts;    // the network's commands
  Bytes Answers;  // what the next uplink carries in FOpts
  std::function<void()> Check;
};

TEST_F(MacCore, DownlinkCommandTable) {
  const std::vector<CommandCase> cases = {
      {"LinkCheckAns without a request is skipped, DevStatusReq still answered",
       {0x02, 20, 3, 0x06},
       {0x06, 0xFF, 7},  // no battery callback: 255; margin: the SNR
       [] {}},
      {"RxTimingSetupReq 0 means one second",
       {0x08, 0x00},
       {0x08},
       [] {
         EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 1000u);
         EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_2).ReceiveDelay2, 2000u);
       }},
      {"RxTimingSetupReq 3",
       {0x08, 0x03},
       {0x08},
       [] { EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 3000u); }},
      // Commands LoRaWAN 1.0.x does not define end a 1.0.x frame's commands:
      // what follows them is neither applied nor answered.
      {"ADRParamSetupReq is not a 1.0.x command",
       {0x0C, 0x21, 0x06},
       {},
       [] {
         EXPECT_EQ(MibGet(MIB_ADR_ACK_LIMIT).AdrAckLimit, 64);
         EXPECT_EQ(MibGet(MIB_ADR_ACK_DELAY).AdrAckDelay, 32);
       }},
      {"ForceRejoinReq is not a 1.0.x command",
       {0x06, 0x0E, 0x00, 0x0F, 0x08, 0x03},
       {0x06, 0xFF, 7},
       [] {
         EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_0);
         EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 1000u);
         EXPECT_EQ(radio.Sent.size(), 1u) << "no rejoin request";
       }},
      {"RekeyConf is not a 1.0.x command", {0x06, 0x0B, 0x01, 0x06}, {0x06, 0xFF, 7}, [] {}},
      {"RxParamSetupReq with datarate 15 keeps the RX2 datarate",
       {0x05, 0x1F, 0xD2, 0xAD, 0x84},  // offset 1, DR 15, 869.525 MHz
       {0x05, 0x07},
       [] {
         EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_0);
         EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Frequency, 869525000u);
       }},
      {"RxParamSetupReq with datarate 3",
       {0x05, 0x03, 0xD2, 0xAD, 0x84},
       {0x05, 0x07},
       [] { EXPECT_EQ(MibGet(MIB_RX2_CHANNEL).Rx2Channel.Datarate, DR_3); }},
      {"NewChannelReq adds a channel",
       {0x07, 3, 0x18, 0x4F, 0x84, 0x50},  // 867.1 MHz (8671000 x 100 Hz), DR 0..5
       {0x07, 0x03},
       [] { EXPECT_EQ(MibGet(MIB_CHANNELS).ChannelList[3].Frequency, 867100000u); }},
      {"two LinkADRReq with ADR off: each refused",
       {0x03, 0x50, 0x07, 0x00, 0x00, 0x03, 0x50, 0x07, 0x00, 0x00},
       {0x03, 0x00, 0x03, 0x00},
       [] { EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_0); }},
      {"an unknown command ends the frame's commands", {0x06, 0x50, 0x06}, {0x06, 0xFF, 7}, [] {}},
      {"a truncated command is not applied",
       {0x06, 0x08},
       {0x06, 0xFF, 7},
       [] { EXPECT_EQ(MibGet(MIB_RECEIVE_DELAY_1).ReceiveDelay1, 1000u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    mac_world::Reset();
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
    StartAbp();
    Down d;
    d.FOpts = c.FOpts;
    ExchangeWithRx1(d);
    ASSERT_EQ(client.McpsIndications.size(), 1u);
    ASSERT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
    c.Check();
    EXPECT_EQ(NextUplinkFOpts(), c.Answers);
  }
}

// On a LoRaWAN 1.1 session the 1.1 commands are taken; a ForceRejoinReq
// naming a datarate the region cannot send at is void (it has no answer),
// and the commands after it are still read.
TEST_F(MacCore, LoRaWan11CommandsAreTakenAndAForceRejoinAtAnUnknownDatarateIsVoid) {
  StartAbp(0x01010100);
  Down d;
  d.Port = 0;  // the commands as a port-0 payload (FOpts are encrypted on 1.1)
  d.Payload = {0x0C, 0x21, 0x0E, 0x00, 0x0F, 0x06};
  ExchangeWithRx1(d);
  ASSERT_EQ(client.McpsIndications.size(), 1u);
  ASSERT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_ADR_ACK_LIMIT).AdrAckLimit, 4);
  EXPECT_EQ(MibGet(MIB_ADR_ACK_DELAY).AdrAckDelay, 2);
  EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_0);
  mac_world::RunFor(60000);
  ASSERT_EQ(radio.Sent.size(), 1u) << "no rejoin request";
  // ADRParamSetupAns and DevStatusAns ride in FOpts, encrypted with the
  // block A = {01, 00 00 00, 01 (FCntUp), 00 (uplink), DevAddr, FCnt, 00, 01}.
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  const Bytes& up = radio.Sent.back().Bytes;
  Bytes fopts(up.begin() + 8, up.begin() + 8 + (up[5] & 0x0F));
  Bytes a{0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
  PutLe32(a, kDevAddr);
  PutLe32(a, (uint32_t)(up[6] | up[7] << 8));
  a.push_back(0x00);
  a.push_back(0x01);
  uint8_t s[16];
  Aes(kNwkSKey, a.data(), s);
  for (size_t i = 0; i < fopts.size(); i++) fopts[i] ^= s[i];
  ASSERT_GE(fopts.size(), 4u);
  EXPECT_EQ(Bytes(fopts.end() - 4, fopts.end()), (Bytes{0x0C, 0x06, 0xFF, 7}));
}

TEST_F(MacCore, DevStatusMarginIsTheSnrClampedToSignedSixBits) {
  const struct {
    int8_t Snr;
    uint8_t Margin;
  } cases[] = {
      {0, 0x00},  {7, 0x07},   {31, 0x1F},  {32, 0x1F},  {100, 0x1F},  {127, 0x1F},
      {-1, 0x3F}, {-20, 0x2C}, {-32, 0x20}, {-33, 0x20}, {-128, 0x20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "SNR " << (int)c.Snr);
    mac_world::Reset();
    ASSERT_EQ(
        LoRaMacInitialization(&mac_world::primitives, &mac_world::callbacks, LORAMAC_REGION_EU868),
        LORAMAC_STATUS_OK);
    StartAbp();
    radio.RxSnr = c.Snr;
    Down d;
    d.FOpts = {0x06};
    ExchangeWithRx1(d);
    EXPECT_EQ(NextUplinkFOpts(), (Bytes{0x06, 0xFF, c.Margin}));
  }
}

TEST_F(MacCore, DutyCycleReqStretchesTheWaitBeforeTheNextUplink) {
  StartAbp();
  Down d;
  d.FOpts = {0x04, 0x07};  // at most 1/128 of the time on air
  ExchangeWithRx1(d);
  uint64_t lastTxDone = radio.Sent.back().At + radio.AirTimeMs;
  McpsReq_t req{};
  req.Type = MCPS_UNCONFIRMED;
  req.Req.Unconfirmed.fPort = 2;
  EXPECT_EQ(LoRaMacMcpsRequest(&req), LORAMAC_STATUS_DUTYCYCLE_RESTRICTED);
  EXPECT_EQ(req.ReqReturn.DutyCycleWaitTime, lastTxDone + 127 * radio.AirTimeMs - mac_world::Now());
  mac_world::RunUntil(lastTxDone + 127 * radio.AirTimeMs);
  EXPECT_EQ(NextUplinkFOpts(), (Bytes{0x04}));
}

TEST_F(MacCore, LinkAdrReqWithAdrOnTakesTheBlockThroughTheRegion) {
  StartAbp();
  MibParam_t p{};
  p.AdrEnable = true;
  ASSERT_EQ(MibSet(MIB_ADR, p), LORAMAC_STATUS_OK);
  Down d;
  // DR5 / TX power 1, channels 0-2 on, NbTrans 2; twice in one block.
  d.FOpts = {0x03, 0x51, 0x07, 0x00, 0x02, 0x03, 0x51, 0x07, 0x00, 0x02};
  ExchangeWithRx1(d);
  EXPECT_EQ(MibGet(MIB_CHANNELS_DATARATE).ChannelsDatarate, DR_5);
  EXPECT_EQ(MibGet(MIB_CHANNELS_TX_POWER).ChannelsTxPower, TX_POWER_1);
  EXPECT_EQ(MibGet(MIB_CHANNELS_NB_TRANS).ChannelsNbTrans, 2);
  // A datarate raised by the network is kept by an ABP device with ADR on.
  EXPECT_EQ(NextUplinkFOpts(), (Bytes{0x03, 0x07, 0x03, 0x07}));
  EXPECT_EQ(radio.Sent.back().Datarate, 7u);  // DR5 is SF7
}

TEST_F(MacCore, AbpDeviceWithAdrSendsAtTheMinimumDatarateUntilTheNetworkRaisesIt) {
  StartAbp();
  MibParam_t p{};
  p.AdrEnable = true;
  ASSERT_EQ(MibSet(MIB_ADR, p), LORAMAC_STATUS_OK);
  p.ChannelsDatarate = DR_5;
  ASSERT_EQ(MibSet(MIB_CHANNELS_DATARATE, p), LORAMAC_STATUS_OK);
  ASSERT_EQ(SendUnconfirmed(2, {0x01}), LORAMAC_STATUS_OK);
  EXPECT_EQ(radio.Sent.back().Datarate, 12u);
  EXPECT_EQ(radio.Sent.back().Bytes[5] & 0x80, 0x80);  // the ADR bit
}

TEST_F(MacCore, UnconfirmedRepetitionsCarryTheSameCounterAndStopAtADownlink) {
  StartAbp();
  MibParam_t p{};
  p.ChannelsNbTrans = 2;
  ASSERT_EQ(MibSet(MIB_CHANNELS_NB_TRANS, p), LORAMAC_STATUS_OK);
  ASSERT_EQ(SendUnconfirmed(2, {0x0A}), LORAMAC_STATUS_OK);
  mac_world::RunFor(8000);
  ASSERT_EQ(radio.Sent.size(), 2u);
  EXPECT_EQ(radio.Sent[0].Bytes, radio.Sent[1].Bytes);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].NbTrans, 2);

  // With three transmissions asked for, a downlink in RX1 ends them.
  p.ChannelsNbTrans = 3;
  ASSERT_EQ(MibSet(MIB_CHANNELS_NB_TRANS, p), LORAMAC_STATUS_OK);
  Down d;
  d.FCnt = 0;
  ExchangeWithRx1(d);
  EXPECT_EQ(radio.Sent.size(), 3u);
  ASSERT_EQ(client.McpsConfirms.size(), 2u);
  EXPECT_EQ(client.McpsConfirms[1].NbTrans, 1);
  EXPECT_EQ(radio.Sent[2].Bytes[6], 1);  // FCnt 1
}

TEST_F(MacCore, ConfirmedUplinkWithoutAcknowledgementEndsAfterTheRetransmitTimeout) {
  StartAbp();
  ASSERT_EQ(SendUnconfirmed(2, {0x0A}, true), LORAMAC_STATUS_OK);
  EXPECT_EQ(radio.Sent[0].Bytes[0], 0x80);
  uint64_t txDone = radio.Sent[0].At + radio.AirTimeMs;
  mac_world::RunFor(10000);
  ASSERT_EQ(radio.Sent.size(), 1u);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].McpsRequest, MCPS_CONFIRMED);
  EXPECT_EQ(client.McpsConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT);
  EXPECT_FALSE(client.McpsConfirms[0].AckReceived);
  // Not before RX2's delay plus the region's shortest retransmit timeout.
  EXPECT_GE(client.McpsConfirmTimes[0], txDone + 2000 + 1000);

  // Acknowledged in RX1: confirmed with the acknowledgement.
  Down ack;
  ack.FCtrl = 0x20;
  size_t rxBefore = radio.Rx.size();
  radio.Air = [&](const mac_world::RxCall&) -> std::optional<Bytes> {
    if (radio.Rx.size() != rxBefore + 1) return std::nullopt;
    return BuildDown(ack);
  };
  ASSERT_EQ(SendUnconfirmed(2, {0x0B}, true), LORAMAC_STATUS_OK);
  mac_world::RunFor(10000);
  ASSERT_EQ(client.McpsConfirms.size(), 2u);
  EXPECT_EQ(client.McpsConfirms[1].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_TRUE(client.McpsConfirms[1].AckReceived);
}

TEST_F(MacCore, DelayedRepetitionPastTheResponseTimeoutEndsTheExchange) {
  // Class C, a network-imposed duty cycle of 1/128 and long frames: the
  // repetition of an uplink waits longer than a confirmed class C downlink
  // may wait for its acknowledgement.
  StartAbp();
  radio.AirTimeMs = 300;
  Down dutyCycle;
  dutyCycle.FOpts = {0x04, 0x07};
  ExchangeWithRx1(dutyCycle);
  mac_world::RunFor(40000);
  client = mac_world::Client{};
  size_t sentBefore = radio.Sent.size();
  MibParam_t p{};
  p.ChannelsNbTrans = 2;
  ASSERT_EQ(MibSet(MIB_CHANNELS_NB_TRANS, p), LORAMAC_STATUS_OK);
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);
  bool answered = false;
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (!call.Continuous || answered || radio.Sent.size() == sentBefore) return std::nullopt;
    answered = true;
    Down d;
    d.Mhdr = 0xA0;  // confirmed data down
    d.FCnt = 1;
    d.Port = 9;
    d.Payload = {0x55};
    return BuildDown(d);
  };
  ASSERT_EQ(SendUnconfirmed(2, {0x0A}), LORAMAC_STATUS_OK);
  mac_world::RunFor(60000);
  ASSERT_TRUE(answered);
  ASSERT_EQ(client.McpsIndications.size(), 1u);
  EXPECT_EQ(client.McpsIndications[0].McpsIndication, MCPS_CONFIRMED);
  EXPECT_EQ(client.McpsIndications[0].ResponseTimeout, 8000u);
  // The repetition is dropped, and the exchange ends as failed.
  EXPECT_EQ(radio.Sent.size(), sentBefore + 1);
  ASSERT_EQ(client.McpsConfirms.size(), 1u);
  EXPECT_EQ(client.McpsConfirms[0].Status, LORAMAC_EVENT_INFO_STATUS_ERROR);
  EXPECT_FALSE(LoRaMacIsBusy());
}

TEST_F(MacCore, MulticastRxParamsStatusByte) {
  StartAbp();
  uint8_t key[16] = {1};
  McChannelParams_t group{};
  group.IsEnabled = true;
  group.GroupID = MULTICAST_1_ADDR;
  group.Address = 0x11223344;
  group.McKeys.Session.McAppSKey = key;
  group.McKeys.Session.McNwkSKey = key;
  group.RxParams.Class = CLASS_C;
  group.RxParams.ClassC = {869525000, DR_0};
  ASSERT_EQ(LoRaMacMcChannelSetup(&group), LORAMAC_STATUS_OK);
  EXPECT_EQ(MibGet(MIB_NVM_CTXS).Contexts->Crypto.FCntList.McFCntDown[1], 0xFFFFFFFFu);

  struct Case {
    AddressIdentifier_t Group;
    DeviceClass_t Class;
    uint32_t Frequency;
    int8_t Datarate;
    LoRaMacStatus_t Expected;
    uint8_t Status;
  };
  const Case cases[] = {
      {MULTICAST_1_ADDR, CLASS_C, 869525000, DR_3, LORAMAC_STATUS_OK, 0x01},
      {MULTICAST_1_ADDR, CLASS_C, 915000000, DR_3, LORAMAC_STATUS_PARAMETER_INVALID, 0x09},
      {MULTICAST_1_ADDR, CLASS_C, 869525000, DR_8, LORAMAC_STATUS_PARAMETER_INVALID, 0x05},
      {MULTICAST_1_ADDR, CLASS_C, 915000000, DR_8, LORAMAC_STATUS_PARAMETER_INVALID, 0x0D},
      {MULTICAST_2_ADDR, CLASS_C, 869525000, DR_3, LORAMAC_STATUS_MC_GROUP_UNDEFINED, 0x1E},
      {MULTICAST_1_ADDR, CLASS_A, 869525000, DR_3, LORAMAC_STATUS_PARAMETER_INVALID, 0x1D},
  };
  for (const Case& c : cases) {
    McRxParams_t rx{};
    rx.Class = c.Class;
    rx.ClassC = {c.Frequency, c.Datarate};
    uint8_t status = 0;
    EXPECT_EQ(LoRaMacMcChannelSetupRxParams(c.Group, &rx, &status), c.Expected)
        << c.Frequency << " " << (int)c.Datarate;
    EXPECT_EQ(status, c.Status) << c.Frequency << " " << (int)c.Datarate;
  }
  EXPECT_EQ(LoRaMacMcChannelDelete(MULTICAST_2_ADDR), LORAMAC_STATUS_MC_GROUP_UNDEFINED);
  EXPECT_EQ(LoRaMacMcChannelDelete(MULTICAST_1_ADDR), LORAMAC_STATUS_OK);
  EXPECT_EQ(LoRaMacMcChannelDelete(MULTICAST_1_ADDR), LORAMAC_STATUS_MC_GROUP_UNDEFINED);
}

TEST_F(MacCore, MulticastDownlinkIsDeliveredAndOneWithTheAckBitRefused) {
  StartAbp();
  static const uint8_t mcNwk[16] = {0xA1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  static const uint8_t mcApp[16] = {0xB1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  McChannelParams_t group{};
  group.IsEnabled = true;
  group.GroupID = MULTICAST_0_ADDR;
  group.Address = 0x01BBCCDD;
  group.McKeys.Session.McAppSKey = const_cast<uint8_t*>(mcApp);
  group.McKeys.Session.McNwkSKey = const_cast<uint8_t*>(mcNwk);
  group.RxParams.Class = CLASS_C;
  group.RxParams.ClassC = {869525000, DR_0};
  ASSERT_EQ(LoRaMacMcChannelSetup(&group), LORAMAC_STATUS_OK);
  MibParam_t p{};
  p.Class = CLASS_C;
  ASSERT_EQ(MibSet(MIB_DEVICE_CLASS, p), LORAMAC_STATUS_OK);

  int sent = 0;
  radio.Air = [&](const mac_world::RxCall& call) -> std::optional<Bytes> {
    if (!call.Continuous || sent >= 2) return std::nullopt;
    Down d;
    d.DevAddr = 0x01BBCCDD;
    d.FCnt = 10 + sent;
    d.Port = 200;
    d.Payload = {0x99, 0x98};
    d.FCtrl = (sent == 1) ? 0x20 : 0x00;
    sent++;
    return BuildDown(d, mcNwk, mcApp);
  };
  // The continuous window opens from the class switch; run the receptions.
  MibSet(MIB_RXC_CHANNEL, MibParam_t{.RxCChannel = {869525000, DR_0}});
  mac_world::RunFor(1000);
  ASSERT_EQ(client.McpsIndications.size(), 2u);
  EXPECT_EQ(client.McpsIndications[0].Status, LORAMAC_EVENT_INFO_STATUS_OK);
  EXPECT_EQ(client.McpsIndications[0].McpsIndication, MCPS_MULTICAST);
  EXPECT_EQ(client.McpsIndications[0].Multicast, 1);
  EXPECT_EQ(client.McpsIndications[0].RxSlot, RX_SLOT_WIN_CLASS_C_MULTICAST);
  EXPECT_EQ(client.IndicationPayloads[0], (Bytes{0x99, 0x98}));
  EXPECT_EQ(client.McpsIndications[1].Status, LORAMAC_EVENT_INFO_STATUS_ERROR);
  // Class C frames do not end an exchange: the MAC stays idle.
  EXPECT_TRUE(client.McpsConfirms.empty());
  EXPECT_FALSE(LoRaMacIsBusy());
}

}  // namespace
