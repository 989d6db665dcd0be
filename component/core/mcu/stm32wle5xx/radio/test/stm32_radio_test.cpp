// The STM32WL radio path as the boards wire it: the RF switch of each board,
// TCXO or crystal, and the radio interrupt callbacks that post the LoRaWAN
// event and end the sleep loop.
#include "radio_board_if.h"
#include "radio_env.h"
#include "stm32_fakes.h"
#include "udrv_powersave.h"

namespace radio_test {
namespace {

struct BoardRadio {
  uint16_t ctrl1, ctrl2;
  int tx1, tx2;
  bool tcxo;
};

// The boards' radio wiring.
constexpr BoardRadio kBoard =
#if defined(QIV_BOARD_BRISOLA_T)
    {sim::pin_id('B', 8), sim::pin_id('C', 13), 0, 1, true};
#elif defined(QIV_BOARD_BRISOLA_E)
    {sim::pin_id('B', 8), sim::pin_id('C', 13), 0, 1, false};
#elif defined(QIV_BOARD_QUENLARLP_SIP)
    {sim::pin_id('A', 0), sim::pin_id('A', 1), 0, 1, true};
#elif defined(QIV_BOARD_SAFFROND)
    {sim::pin_id('B', 8), sim::pin_id('C', 13), 1, 1, true};
#endif

std::pair<int, int> pins() {
  return {sim::pin_output_level(kBoard.ctrl1), sim::pin_output_level(kBoard.ctrl2)};
}

TEST_F(RadioTest, RfSwitchFollowsTheRadio) {
  EXPECT_EQ(pins(), std::make_pair(0, 0));
  lora_rx_config(Peer::Lora{}, 0, true);
  Radio.Rx(0);
  EXPECT_EQ(pins(), std::make_pair(1, 0));
  Radio.Standby();
  EXPECT_EQ(pins(), std::make_pair(0, 0));
  Peer::Lora p;
  p.power = 14;
  lora_tx_config(p);
  uint8_t b[4] = {1, 2, 3, 4};
  Radio.Send(b, 4);
  EXPECT_EQ(pins(), std::make_pair(kBoard.tx1, kBoard.tx2)) << "transmitting";
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 1000000));
  EXPECT_EQ(pins(), std::make_pair(0, 0));
}

TEST_F(RadioTest, TcxoOrCrystalAsTheBoardHasIt) {
  EXPECT_EQ(RBI_IsTCXO() != 0, kBoard.tcxo);
  if (kBoard.tcxo) {
    EXPECT_EQ(chip().reg(0x0911), 0x00);
  } else {
    EXPECT_EQ(chip().reg(0x0911), 0x10);
    EXPECT_EQ(chip().reg(0x0912), 0x10);
  }
  Radio.Standby();
  lora_tx_config(Peer::Lora{});
  uint8_t b[1] = {9};
  const sim::time_us t = now();
  Radio.Send(b, 1);
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 1000000));
  ASSERT_EQ(frames_.size(), 1u);
  // The oscillator starts first (1 ms with a TCXO), plus the bus time of the
  // commands.
  const sim::time_us delay = frames_[0].start_us - t;
  EXPECT_GE(delay, kBoard.tcxo ? 1000u : 0u);
  EXPECT_LT(delay, (kBoard.tcxo ? 1000u : 0u) + 200u);
}

struct InIsr {
  static bool seen;
  static bool in_isr;
  static void tx_done() {
    seen = true;
    in_isr = sim::in_isr();
  }
};
bool InIsr::seen = false;
bool InIsr::in_isr = false;

TEST_F(RadioTest, RadioInterruptPostsTheLoRaWanEventAndEndsTheSleep) {
  InIsr::seen = false;
  InIsr::in_isr = false;
  RadioEvents_t ev = {};
  ev.TxDone = &InIsr::tx_done;
  Radio.Init(&ev);
  lora_tx_config(Peer::Lora{});
  stm32_env::posted().clear();
  udrv_powersave_in_sleep = true;
  uint8_t b[2] = {1, 2};
  Radio.Send(b, 2);
  ASSERT_TRUE(run_until([] { return InIsr::seen; }, 1000000));
  EXPECT_TRUE(InIsr::in_isr) << "the user's callback runs in the radio interrupt";
  EXPECT_FALSE(udrv_powersave_in_sleep);
  ASSERT_FALSE(stm32_env::posted().empty());
  EXPECT_EQ(stm32_env::posted()[0], UDRV_SYS_EVT_OP_LORAWAN);
}

TEST_F(RadioTest, RadioTimeoutPostsOnlyWithACallback) {
  Peer::Lora p;
  p.sf = 12;
  // No events record: the TX timeout timer fires, nothing is posted.
  Radio.Init(nullptr);
  lora_tx_config(p, 50);
  uint8_t b[100] = {};
  stm32_env::posted().clear();
  Radio.Send(b, 100);
  run_for(60000);
  EXPECT_TRUE(stm32_env::posted().empty());
  // With a TxTimeout callback: called, and the event posted.
  Radio.Init(events());
  lora_tx_config(p, 50);
  stm32_env::posted().clear();
  log().clear();
  Radio.Send(b, 100);
  run_for(60000);
  EXPECT_EQ(log().events, (std::vector<std::string>{"TxTimeout"}));
  EXPECT_EQ(stm32_env::posted(), (std::vector<udrv_system_event_op_t>{UDRV_SYS_EVT_OP_LORAWAN}));
}

}  // namespace
}  // namespace radio_test
