/*
 * The command list of the next uplink: order, sticky removal, serializing
 * into a limited space, and a full list.
 */
#include <gtest/gtest.h>

#include <vector>

#include "LoRaMacCommands.h"

namespace {

class CommandList : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoRaMacCommandsInit(), LORAMAC_COMMANDS_SUCCESS); }

  static void Add(uint8_t cid, std::vector<uint8_t> payload = {}) {
    uint8_t none = 0;
    ASSERT_EQ(LoRaMacCommandsAddCmd(cid, payload.empty() ? &none : payload.data(), payload.size()),
              LORAMAC_COMMANDS_SUCCESS);
  }

  // The whole list as it would go on the air.
  static std::vector<uint8_t> Serialized() {
    uint8_t buffer[NUM_OF_MAC_COMMANDS * 3] = {};
    size_t size = 0;
    EXPECT_EQ(LoRaMacCommandsSerializeCmds(sizeof(buffer), &size, buffer),
              LORAMAC_COMMANDS_SUCCESS);
    return std::vector<uint8_t>(buffer, buffer + size);
  }

  static size_t SerializedSize() {
    size_t size = 0;
    EXPECT_EQ(LoRaMacCommandsGetSizeSerializedCmds(&size), LORAMAC_COMMANDS_SUCCESS);
    return size;
  }
};

TEST_F(CommandList, SerializesInInsertionOrder) {
  Add(MOTE_MAC_LINK_ADR_ANS, {0x07});
  Add(MOTE_MAC_DEV_STATUS_ANS, {0xFF, 0x3F});
  Add(MOTE_MAC_DUTY_CYCLE_ANS);
  Add(MOTE_MAC_LINK_ADR_ANS, {0x06});  // duplicates are kept

  EXPECT_EQ(SerializedSize(), 8u);
  EXPECT_EQ(Serialized(), (std::vector<uint8_t>{0x03, 0x07, 0x06, 0xFF, 0x3F, 0x04, 0x03, 0x06}));
}

TEST_F(CommandList, StickyAnswersStayUntilADownlinkAndIndicationsUntilConfirmed) {
  struct Kind {
    uint8_t Cid;
    bool Sticky;
    bool ConfirmationRequired;
  };
  const Kind kinds[] = {
      {MOTE_MAC_RESET_IND, true, true},
      {MOTE_MAC_LINK_CHECK_REQ, false, false},
      {MOTE_MAC_LINK_ADR_ANS, false, false},
      {MOTE_MAC_DUTY_CYCLE_ANS, false, false},
      {MOTE_MAC_RX_PARAM_SETUP_ANS, true, false},
      {MOTE_MAC_DEV_STATUS_ANS, false, false},
      {MOTE_MAC_NEW_CHANNEL_ANS, false, false},
      {MOTE_MAC_RX_TIMING_SETUP_ANS, true, false},
      {MOTE_MAC_TX_PARAM_SETUP_ANS, true, false},
      {MOTE_MAC_DL_CHANNEL_ANS, true, false},
      {MOTE_MAC_REKEY_IND, true, true},
      {MOTE_MAC_ADR_PARAM_SETUP_ANS, false, false},
      {MOTE_MAC_DEVICE_TIME_REQ, false, false},
      {MOTE_MAC_REJOIN_PARAM_ANS, false, false},
      {MOTE_MAC_PING_SLOT_INFO_REQ, false, false},
      {MOTE_MAC_PING_SLOT_CHANNEL_ANS, true, false},
      {MOTE_MAC_BEACON_TIMING_REQ, false, false},
      {MOTE_MAC_BEACON_FREQ_ANS, false, false},
      {MOTE_MAC_DEVICE_MODE_IND, true, true},
  };
  for (const Kind& k : kinds) {
    Add(k.Cid);
    MacCommand_t* cmd = nullptr;
    ASSERT_EQ(LoRaMacCommandsGetCmd(k.Cid, &cmd), LORAMAC_COMMANDS_SUCCESS);
    EXPECT_EQ(cmd->IsSticky, k.Sticky) << int(k.Cid);
    EXPECT_EQ(cmd->IsConfirmationRequired, k.ConfirmationRequired) << int(k.Cid);
  }

  // After an uplink: only sticky commands stay, in their order.
  EXPECT_EQ(LoRaMacCommandsRemoveNoneStickyCmds(), LORAMAC_COMMANDS_SUCCESS);
  std::vector<uint8_t> sticky;
  for (const Kind& k : kinds) {
    if (k.Sticky) {
      sticky.push_back(k.Cid);
    }
  }
  EXPECT_EQ(Serialized(), sticky);

  // After a downlink: the indications that wait for a confirmation stay.
  EXPECT_EQ(LoRaMacCommandsRemoveStickyAnsCmds(), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(Serialized(), (std::vector<uint8_t>{MOTE_MAC_RESET_IND, MOTE_MAC_REKEY_IND,
                                                MOTE_MAC_DEVICE_MODE_IND}));
  EXPECT_EQ(SerializedSize(), 3u);
}

TEST_F(CommandList, SerializeDropsTheFirstCommandThatDoesNotFitAndAllAfterIt) {
  for (uint8_t i = 0; i < 6; i++) {
    Add(MOTE_MAC_LINK_ADR_ANS, {i});
  }
  Add(MOTE_MAC_DEV_STATUS_ANS, {0xFF, 0x20});  // 3 bytes: 15 in all
  Add(MOTE_MAC_DUTY_CYCLE_ANS);                // 1 byte: would fit at 13
  ASSERT_EQ(SerializedSize(), 16u);

  uint8_t buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  size_t effective = 0;
  ASSERT_EQ(LoRaMacCommandsSerializeCmds(14, &effective, buffer), LORAMAC_COMMANDS_SUCCESS);

  EXPECT_EQ(effective, 12u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 13),
            (std::vector<uint8_t>{3, 0, 3, 1, 3, 2, 3, 3, 3, 4, 3, 5, 0xEE}));
  EXPECT_EQ(SerializedSize(), 12u);
  MacCommand_t* cmd = nullptr;
  EXPECT_EQ(LoRaMacCommandsGetCmd(MOTE_MAC_DEV_STATUS_ANS, &cmd),
            LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND);
  EXPECT_EQ(cmd, nullptr);
  EXPECT_EQ(LoRaMacCommandsGetCmd(MOTE_MAC_DUTY_CYCLE_ANS, &cmd),
            LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND);

  // What was kept is the list, and new commands go after it.
  Add(MOTE_MAC_RX_TIMING_SETUP_ANS);
  EXPECT_EQ(Serialized(), (std::vector<uint8_t>{3, 0, 3, 1, 3, 2, 3, 3, 3, 4, 3, 5, 8}));

  // Nothing fits: the list is emptied.
  ASSERT_EQ(LoRaMacCommandsSerializeCmds(1, &effective, buffer), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(effective, 0u);
  EXPECT_EQ(Serialized(), std::vector<uint8_t>{});
}

TEST_F(CommandList, AFullListRefusesAndAFreedSlotIsReusedAtTheEnd) {
  for (uint8_t i = 0; i < NUM_OF_MAC_COMMANDS; i++) {
    Add(MOTE_MAC_LINK_ADR_ANS, {i});
  }
  uint8_t payload = 0x55;
  EXPECT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DUTY_CYCLE_ANS, &payload, 0),
            LORAMAC_COMMANDS_ERROR_MEMORY);
  EXPECT_EQ(SerializedSize(), 64u);

  // Free the first and the last; a new command goes to the end of the list.
  MacCommand_t* first = nullptr;
  ASSERT_EQ(LoRaMacCommandsGetCmd(MOTE_MAC_LINK_ADR_ANS, &first), LORAMAC_COMMANDS_SUCCESS);
  MacCommand_t* last = first;
  while (last->Next != nullptr) {
    last = last->Next;
  }
  EXPECT_EQ(LoRaMacCommandsRemoveCmd(first), LORAMAC_COMMANDS_SUCCESS);
  EXPECT_EQ(LoRaMacCommandsRemoveCmd(last), LORAMAC_COMMANDS_SUCCESS);
  Add(MOTE_MAC_DEV_STATUS_ANS, {0xAA, 0xBB});
  Add(MOTE_MAC_DUTY_CYCLE_ANS);
  EXPECT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DUTY_CYCLE_ANS, &payload, 0),
            LORAMAC_COMMANDS_ERROR_MEMORY);

  std::vector<uint8_t> expected;
  for (uint8_t i = 1; i < NUM_OF_MAC_COMMANDS - 1; i++) {
    expected.insert(expected.end(), {MOTE_MAC_LINK_ADR_ANS, i});
  }
  expected.insert(expected.end(), {MOTE_MAC_DEV_STATUS_ANS, 0xAA, 0xBB, MOTE_MAC_DUTY_CYCLE_ANS});
  EXPECT_EQ(Serialized(), expected);
}

TEST_F(CommandList, RefusesWhatItCannotHoldOrDoesNotKnow) {
  uint8_t payload[3] = {1, 2, 3};
  EXPECT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, nullptr, 0), LORAMAC_COMMANDS_ERROR_NPE);
  // A payload longer than a slot's must not be copied past it.
  EXPECT_EQ(LoRaMacCommandsAddCmd(MOTE_MAC_DEV_STATUS_ANS, payload, 3), LORAMAC_COMMANDS_ERROR);
  EXPECT_EQ(SerializedSize(), 0u);

  Add(MOTE_MAC_LINK_ADR_ANS, {7});
  MacCommand_t foreign = {};
  foreign.CID = MOTE_MAC_LINK_ADR_ANS;
  foreign.PayloadSize = 1;
  EXPECT_EQ(LoRaMacCommandsRemoveCmd(&foreign), LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND);
  EXPECT_EQ(LoRaMacCommandsRemoveCmd(nullptr), LORAMAC_COMMANDS_ERROR_NPE);
  EXPECT_EQ(Serialized(), (std::vector<uint8_t>{3, 7}));

  size_t size = 0;
  uint8_t buffer[4];
  EXPECT_EQ(LoRaMacCommandsGetSizeSerializedCmds(nullptr), LORAMAC_COMMANDS_ERROR_NPE);
  EXPECT_EQ(LoRaMacCommandsSerializeCmds(4, nullptr, buffer), LORAMAC_COMMANDS_ERROR_NPE);
  EXPECT_EQ(LoRaMacCommandsSerializeCmds(4, &size, nullptr), LORAMAC_COMMANDS_ERROR_NPE);
  EXPECT_EQ(LoRaMacCommandsGetCmd(MOTE_MAC_LINK_ADR_ANS, nullptr), LORAMAC_COMMANDS_ERROR_NPE);
}

TEST(CommandSizes, NetworkCommandsByCid) {
  const std::pair<uint8_t, uint8_t> sizes[] = {
      {0, 0},
      {SRV_MAC_RESET_CONF, 2},
      {SRV_MAC_LINK_CHECK_ANS, 3},
      {SRV_MAC_LINK_ADR_REQ, 5},
      {SRV_MAC_DUTY_CYCLE_REQ, 2},
      {SRV_MAC_RX_PARAM_SETUP_REQ, 5},
      {SRV_MAC_DEV_STATUS_REQ, 1},
      {SRV_MAC_NEW_CHANNEL_REQ, 6},
      {SRV_MAC_RX_TIMING_SETUP_REQ, 2},
      {SRV_MAC_TX_PARAM_SETUP_REQ, 2},
      {SRV_MAC_DL_CHANNEL_REQ, 5},
      {SRV_MAC_REKEY_CONF, 2},
      {SRV_MAC_ADR_PARAM_SETUP_REQ, 2},
      {SRV_MAC_DEVICE_TIME_ANS, 6},
      {SRV_MAC_FORCE_REJOIN_REQ, 3},
      {SRV_MAC_REJOIN_PARAM_REQ, 2},
      {SRV_MAC_PING_SLOT_INFO_ANS, 1},
      {SRV_MAC_PING_SLOT_CHANNEL_REQ, 5},
      {SRV_MAC_BEACON_TIMING_ANS, 4},
      {SRV_MAC_BEACON_FREQ_REQ, 4},
      {20, 0},
      {31, 0},
      {SRV_MAC_DEVICE_MODE_CONF, 2},
      {33, 0},
      {0x80, 0},
      {0xFF, 0},
  };
  for (const auto& [cid, size] : sizes) {
    EXPECT_EQ(LoRaMacCommandsGetCmdSize(cid), size) << int(cid);
  }
}

}  // namespace
