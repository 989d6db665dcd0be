/*
 * The ring of owed MLME confirms: capacity, wrap-around, delivery of the
 * ready elements in order and requeueing of the others.
 */
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "LoRaMacConfirmQueue.h"

namespace {

std::vector<std::pair<Mlme_t, LoRaMacEventInfoStatus_t>> Delivered;
// A request the client makes from within its confirm, as it may.
Mlme_t RequestFromConfirm = MLME_UNKNOWN;

void OnMlmeConfirm(MlmeConfirm_t* confirm) {
  Delivered.emplace_back(confirm->MlmeRequest, confirm->Status);
  if (RequestFromConfirm != MLME_UNKNOWN) {
    MlmeConfirmQueue_t element = {RequestFromConfirm, LORAMAC_EVENT_INFO_STATUS_ERROR, false,
                                  false};
    LoRaMacConfirmQueueAdd(&element);
    RequestFromConfirm = MLME_UNKNOWN;
  }
}

LoRaMacPrimitives_t Primitives = {nullptr, nullptr, OnMlmeConfirm, nullptr};

class ConfirmQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    Delivered.clear();
    RequestFromConfirm = MLME_UNKNOWN;
    LoRaMacConfirmQueueInit(&Primitives);
  }

  static bool Add(Mlme_t request, bool ready = false, bool restricted = false,
                  LoRaMacEventInfoStatus_t status = LORAMAC_EVENT_INFO_STATUS_ERROR) {
    MlmeConfirmQueue_t element = {request, status, ready, restricted};
    return LoRaMacConfirmQueueAdd(&element);
  }

  static std::vector<std::pair<Mlme_t, LoRaMacEventInfoStatus_t>> Handle() {
    Delivered.clear();
    MlmeConfirm_t confirm = {};
    LoRaMacConfirmQueueHandleCb(&confirm);
    return Delivered;
  }
};

using Confirms = std::vector<std::pair<Mlme_t, LoRaMacEventInfoStatus_t>>;
constexpr auto OK = LORAMAC_EVENT_INFO_STATUS_OK;

TEST_F(ConfirmQueue, HoldsFiveAndWrapsAround) {
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 0);
  EXPECT_FALSE(LoRaMacConfirmQueueIsCmdActive(MLME_UNKNOWN));
  EXPECT_FALSE(LoRaMacConfirmQueueRemoveFirst());

  const Mlme_t first[] = {MLME_JOIN, MLME_LINK_CHECK, MLME_DEVICE_TIME, MLME_BEACON_TIMING,
                          MLME_PING_SLOT_INFO};
  for (Mlme_t request : first) {
    EXPECT_TRUE(Add(request));
  }
  EXPECT_TRUE(LoRaMacConfirmQueueIsFull());
  EXPECT_FALSE(Add(MLME_TXCW));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 5);

  // Two leave at the front, two enter in the freed slots at the ring's start.
  EXPECT_TRUE(LoRaMacConfirmQueueRemoveFirst());
  EXPECT_TRUE(LoRaMacConfirmQueueRemoveFirst());
  EXPECT_FALSE(LoRaMacConfirmQueueIsCmdActive(MLME_JOIN));
  EXPECT_TRUE(Add(MLME_TXCW));
  EXPECT_TRUE(Add(MLME_REJOIN_0));
  EXPECT_FALSE(Add(MLME_REJOIN_1));
  EXPECT_TRUE(LoRaMacConfirmQueueIsCmdActive(MLME_REJOIN_0));

  LoRaMacConfirmQueueSetStatusCmn(OK);
  EXPECT_EQ(Handle(), (Confirms{{MLME_DEVICE_TIME, OK},
                                {MLME_BEACON_TIMING, OK},
                                {MLME_PING_SLOT_INFO, OK},
                                {MLME_TXCW, OK},
                                {MLME_REJOIN_0, OK}}));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 0);
  EXPECT_FALSE(LoRaMacConfirmQueueIsFull());
}

TEST_F(ConfirmQueue, ElementsNotReadyStayQueuedInTheirOrder) {
  Add(MLME_JOIN);
  Add(MLME_LINK_CHECK, true, false, OK);
  Add(MLME_DEVICE_TIME);
  Add(MLME_BEACON_TIMING, true, false, LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT);

  EXPECT_EQ(Handle(), (Confirms{{MLME_LINK_CHECK, OK},
                                {MLME_BEACON_TIMING, LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT}}));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 2);
  EXPECT_EQ(Handle(), Confirms{});

  LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL, MLME_JOIN);
  LoRaMacConfirmQueueSetStatus(OK, MLME_DEVICE_TIME);
  EXPECT_EQ(Handle(),
            (Confirms{{MLME_JOIN, LORAMAC_EVENT_INFO_STATUS_JOIN_FAIL}, {MLME_DEVICE_TIME, OK}}));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 0);
}

TEST_F(ConfirmQueue, SetStatusMarksTheOldestOfItsTypeOnly) {
  Add(MLME_LINK_CHECK);
  Add(MLME_LINK_CHECK);
  LoRaMacConfirmQueueSetStatus(OK, MLME_LINK_CHECK);
  LoRaMacConfirmQueueSetStatus(OK, MLME_DEVICE_TIME);  // not queued: nothing happens
  EXPECT_EQ(Handle(), (Confirms{{MLME_LINK_CHECK, OK}}));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 1);
}

TEST_F(ConfirmQueue, ACommonStatusDoesNotCompleteARestrictedElement) {
  Add(MLME_BEACON_ACQUISITION, false, true);
  Add(MLME_LINK_CHECK);

  LoRaMacConfirmQueueSetStatusCmn(LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT);
  EXPECT_EQ(Handle(), (Confirms{{MLME_LINK_CHECK, LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT}}));
  EXPECT_TRUE(LoRaMacConfirmQueueIsCmdActive(MLME_BEACON_ACQUISITION));

  // The requeued element kept its restriction.
  LoRaMacConfirmQueueSetStatusCmn(LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT);
  EXPECT_EQ(Handle(), Confirms{});

  LoRaMacConfirmQueueSetStatus(LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND, MLME_BEACON_ACQUISITION);
  EXPECT_EQ(Handle(),
            (Confirms{{MLME_BEACON_ACQUISITION, LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND}}));
}

TEST_F(ConfirmQueue, ARequestMadeFromAConfirmWaitsForItsOwnStatus) {
  Add(MLME_LINK_CHECK, true, false, OK);
  Add(MLME_DEVICE_TIME);
  Add(MLME_BEACON_TIMING, true, false, OK);
  Add(MLME_JOIN);
  RequestFromConfirm = MLME_REJOIN_0;

  EXPECT_EQ(Handle(), (Confirms{{MLME_LINK_CHECK, OK}, {MLME_BEACON_TIMING, OK}}));
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 3);

  LoRaMacConfirmQueueSetStatusCmn(OK);
  EXPECT_EQ(Handle(), (Confirms{{MLME_REJOIN_0, OK}, {MLME_DEVICE_TIME, OK}, {MLME_JOIN, OK}}));
}

TEST_F(ConfirmQueue, InitForgetsWhatWasQueued) {
  Add(MLME_JOIN, true, false, OK);
  LoRaMacConfirmQueueInit(&Primitives);
  EXPECT_EQ(LoRaMacConfirmQueueGetCnt(), 0);
  EXPECT_FALSE(LoRaMacConfirmQueueIsCmdActive(MLME_JOIN));
  EXPECT_EQ(Handle(), Confirms{});
}

}  // namespace
