// SPI master (IOM0 and IOM1), I2C master (IOM2), ADC and PWM of the
// Apollo3 image.
#include <string.h>

#include "am_bsp.h"
#include <initializer_list>

#include "apollo3_port.h"
#include "udrv_adc.h"
#include "udrv_pwm.h"
#include "udrv_spimst.h"
#include "udrv_twimst.h"

// ------------------------------------------------------------ SPI master --
namespace {

struct SpiPort {
  bool active;
  bool resumed;
  SemaphoreHandle_t mutex;
  void *handle;
  uint32_t clock;
  am_hal_iom_spi_mode_e mode;
  bool lsb_first;
};
SpiPort spi_ports[UDRV_SPIMST_MAX] = {
    {false, false, nullptr, nullptr, AM_HAL_IOM_4MHZ, AM_HAL_IOM_SPI_MODE_0, false},
    {false, false, nullptr, nullptr, AM_HAL_IOM_4MHZ, AM_HAL_IOM_SPI_MODE_0, false},
    {false, false, nullptr, nullptr, AM_HAL_IOM_4MHZ, AM_HAL_IOM_SPI_MODE_0, false},
    {false, false, nullptr, nullptr, AM_HAL_IOM_4MHZ, AM_HAL_IOM_SPI_MODE_0, false},
};
// Port 0's command buffer for non-blocking transfers.
uint32_t spi0_txn_buffer[1024];

struct SpiPads {
  uint32_t sck, miso, mosi;
};
constexpr SpiPads kSpiPads[2] = {{5, 6, 7}, {8, 9, 10}};

void take_mutex(SemaphoreHandle_t m) { xSemaphoreTake(m, portMAX_DELAY); }

void spimst_bring_up(udrv_spimst_port port) {
  SpiPort &p = spi_ports[port];
  if (p.mutex == nullptr) {
    p.mutex = xSemaphoreCreateMutex();
  }
  if (p.resumed) {
    return;
  }
  take_mutex(p.mutex);
  am_hal_iom_config_t cfg = {};
  cfg.eInterfaceMode = AM_HAL_IOM_SPI_MODE;
  cfg.ui32ClockFreq = p.clock;
  cfg.eSpiMode = p.mode;
  if (port == UDRV_SPIMST_0) {
    cfg.pNBTxnBuf = spi0_txn_buffer;
    cfg.ui32NBTxnBufLength = sizeof spi0_txn_buffer / 4;
  }
  APOLLO3_CHECK(am_hal_iom_initialize(port, &p.handle));
  APOLLO3_CHECK(am_hal_iom_power_ctrl(p.handle, AM_HAL_SYSCTRL_WAKE, false));
  APOLLO3_CHECK(am_hal_iom_configure(p.handle, &cfg));
  APOLLO3_CHECK(am_hal_iom_spi_lsb_first(p.handle, p.lsb_first));
  am_hal_gpio_pincfg_t sck = {};
  sck.uFuncSel = 1;
  sck.eDriveStrength = 3;
  sck.uIOMnum = port;
  am_hal_gpio_pincfg_t miso = {};
  miso.uFuncSel = 1;
  miso.uIOMnum = port;
  am_hal_gpio_pincfg_t mosi = sck;
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].sck, sck));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].miso, miso));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].mosi, mosi));
  // The IOM interrupt sources stay off in the NVIC: the transfers are
  // blocking and the vector has no IOM0/IOM1 handler.
  APOLLO3_CHECK(am_hal_iom_interrupt_enable(p.handle, 0xFD));
  APOLLO3_CHECK(am_hal_iom_enable(p.handle));
  p.resumed = true;
  xSemaphoreGive(p.mutex);
}

void spimst_shut_down(udrv_spimst_port port) {
  SpiPort &p = spi_ports[port];
  if (!p.resumed) {
    return;
  }
  take_mutex(p.mutex);
  APOLLO3_CHECK(am_hal_iom_disable(p.handle));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].sck, g_AM_HAL_GPIO_DISABLE));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].miso, g_AM_HAL_GPIO_DISABLE));
  APOLLO3_CHECK(am_hal_gpio_pinconfig(kSpiPads[port].mosi, g_AM_HAL_GPIO_DISABLE));
  APOLLO3_CHECK(am_hal_iom_power_ctrl(p.handle, AM_HAL_SYSCTRL_DEEPSLEEP, false));
  APOLLO3_CHECK(am_hal_iom_uninitialize(p.handle));
  p.handle = nullptr;
  p.resumed = false;
  xSemaphoreGive(p.mutex);
}

void uhal_spimst_init(udrv_spimst_port port) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  if (port <= UDRV_SPIMST_1) {
    spimst_bring_up(port);
  }
  spi_ports[port].active = true;
}

void uhal_spimst_deinit(udrv_spimst_port port) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  if (port <= UDRV_SPIMST_1) {
    spimst_shut_down(port);
  }
  spi_ports[port].active = false;
}

// The mode byte carries CPOL in bit 1 and CPHA in bit 0.
void uhal_spimst_setup_mode(udrv_spimst_port port, uint8_t mode) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  static const am_hal_iom_spi_mode_e kModes[] = {AM_HAL_IOM_SPI_MODE_0, AM_HAL_IOM_SPI_MODE_1,
                                                 AM_HAL_IOM_SPI_MODE_2, AM_HAL_IOM_SPI_MODE_3};
  spi_ports[port].mode = mode < 4 ? kModes[mode] : AM_HAL_IOM_SPI_MODE_0;
}

void uhal_spimst_setup_freq(udrv_spimst_port port, uint32_t clk_hz) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  uint32_t clock = AM_HAL_IOM_8MHZ;
  if (clk_hz <= 125000) {
    clock = AM_HAL_IOM_125KHZ;
  } else if (clk_hz <= 250000) {
    clock = AM_HAL_IOM_250KHZ;
  } else if (clk_hz <= 500000) {
    clock = AM_HAL_IOM_500KHZ;
  } else if (clk_hz <= 1000000) {
    clock = AM_HAL_IOM_1MHZ;
  } else if (clk_hz <= 2000000) {
    clock = AM_HAL_IOM_2MHZ;
  } else if (clk_hz <= 4000000) {
    clock = AM_HAL_IOM_4MHZ;
  }
  spi_ports[port].clock = clock;
}

void uhal_spimst_setup_byte_order(udrv_spimst_port port, uint8_t lsb_first) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  spi_ports[port].lsb_first = lsb_first != 0;
}

int8_t uhal_spimst_trx(udrv_spimst_port port, uint8_t const *write_data, uint32_t write_length,
                       uint8_t *read_data, uint32_t read_length, uint32_t csn) {
  if (port > UDRV_SPIMST_1 || !spi_ports[port].resumed) {
    return -UDRV_NOT_INIT;
  }
  SpiPort &p = spi_ports[port];
  take_mutex(p.mutex);
  // The chip select is driven by software around the transfer.
  uhal_gpio_set_dir(csn, GPIO_DIR_OUT);
  bool driven_low = false;
  if (uhal_gpio_get_logic(csn) == GPIO_LOGIC_HIGH) {
    uhal_gpio_set_logic(csn, GPIO_LOGIC_LOW);
    driven_low = true;
  }
  static uint32_t tx_words[64];
  static uint32_t rx_words[64];
  bool const duplex = write_data != nullptr && read_data != nullptr;
  uint32_t const total = write_data != nullptr ? write_length : read_length;
  for (uint32_t done = 0; done < total;) {
    uint32_t n = total - done < sizeof tx_words ? total - done : sizeof tx_words;
    am_hal_iom_transfer_t xfer = {};
    xfer.uPeerInfo.ui32SpiChipSelect = 0;
    xfer.ui32NumBytes = n;
    xfer.bContinue = false;
    if (write_data != nullptr) {
      memcpy(tx_words, write_data + done, n);
      xfer.pui32TxBuffer = tx_words;
    }
    if (read_data != nullptr) {
      xfer.pui32RxBuffer = rx_words;
    }
    if (duplex) {
      APOLLO3_CHECK(am_hal_iom_spi_blocking_fullduplex(p.handle, &xfer));
    } else {
      xfer.eDirection = write_data != nullptr ? AM_HAL_IOM_TX : AM_HAL_IOM_RX;
      APOLLO3_CHECK(am_hal_iom_blocking_transfer(p.handle, &xfer));
    }
    if (read_data != nullptr) {
      memcpy(read_data + done, rx_words, n);
    }
    done += n;
  }
  if (driven_low) {
    uhal_gpio_set_logic(csn, GPIO_LOGIC_HIGH);
  }
  xSemaphoreGive(p.mutex);
  return 0;
}

}  // namespace

udrv_spimst_api spimst_driver = {
    uhal_spimst_init,       uhal_spimst_setup_mode,
    uhal_spimst_setup_freq, uhal_spimst_setup_byte_order,
    uhal_spimst_deinit,     uhal_spimst_trx,
    uhal_spimst_suspend,    uhal_spimst_resume,
};

void uhal_spimst_suspend(void) {
  for (udrv_spimst_port port : {UDRV_SPIMST_0, UDRV_SPIMST_1}) {
    if (spi_ports[port].active) {
      spimst_shut_down(port);
    }
  }
}

void uhal_spimst_resume(void) {
  for (udrv_spimst_port port : {UDRV_SPIMST_0, UDRV_SPIMST_1}) {
    if (spi_ports[port].active) {
      spimst_bring_up(port);
    }
  }
}

// ------------------------------------------------------------ I2C master --
namespace {

bool twi_active[UDRV_TWIMST_MAX];
bool twi_up;
SemaphoreHandle_t twi2_mutex;
void *twi_handle;
uint32_t twi_clock = AM_HAL_IOM_400KHZ;
constexpr uint32_t kSclPad = 27;
constexpr uint32_t kSdaPad = 25;

void twi2_take_semaphore(void) { xSemaphoreTake(twi2_mutex, portMAX_DELAY); }
void twi2_give_semaphore(void) { xSemaphoreGive(twi2_mutex); }

// Set-up statuses of the I2C master are not fatal: a failed bring-up shows
// as transfer errors.
void twimst_bring_up(void) {
  if (twi2_mutex == nullptr) {
    twi2_mutex = xSemaphoreCreateMutex();
  }
  if (twi_up) {
    return;
  }
  am_hal_iom_config_t cfg = {};
  cfg.eInterfaceMode = AM_HAL_IOM_I2C_MODE;
  cfg.ui32ClockFreq = twi_clock;
  am_hal_iom_initialize(2, &twi_handle);
  am_hal_iom_power_ctrl(twi_handle, AM_HAL_SYSCTRL_WAKE, false);
  am_hal_iom_configure(twi_handle, &cfg);
  am_hal_gpio_pincfg_t pad = {};
  pad.uFuncSel = 4;
  pad.ePullup = 2;
  pad.eDriveStrength = 3;
  pad.eGPOutcfg = 2;
  pad.uIOMnum = 2;
  am_hal_gpio_pinconfig(kSclPad, pad);
  am_hal_gpio_pinconfig(kSdaPad, pad);
  am_hal_iom_interrupt_enable(twi_handle, 0xFF);
  NVIC_EnableIRQ(IOMSTR2_IRQn);
  am_hal_iom_enable(twi_handle);
  twi_up = true;
}

void twimst_shut_down(void) {
  if (!twi_up) {
    return;
  }
  am_hal_iom_disable(twi_handle);
  am_hal_gpio_pinconfig(kSclPad, am_hal_gpio_pincfg_from_word(APOLLO3_PAD_PARKED));
  am_hal_gpio_pinconfig(kSdaPad, am_hal_gpio_pincfg_from_word(APOLLO3_PAD_PARKED));
  am_hal_iom_power_ctrl(twi_handle, AM_HAL_SYSCTRL_DEEPSLEEP, false);
  am_hal_iom_uninitialize(twi_handle);
  twi_handle = nullptr;
  twi_up = false;
}

void uhal_twimst_init(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return;
  }
  if (port == UDRV_TWIMST_0) {
    twimst_bring_up();
  }
  twi_active[port] = true;
}

int32_t uhal_twimst_deinit(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (port == UDRV_TWIMST_0) {
    twimst_shut_down();
  }
  twi_active[port] = false;
  return 0;
}

void uhal_twimst_setup_freq(udrv_twimst_port port, uint32_t clk_hz) {
  if (port != UDRV_TWIMST_0) {
    return;
  }
  if (clk_hz <= 100000) {
    twi_clock = AM_HAL_IOM_100KHZ;
  } else if (clk_hz <= 250000) {
    twi_clock = AM_HAL_IOM_250KHZ;
  } else {
    twi_clock = AM_HAL_IOM_400KHZ;
  }
}

int32_t twi_transfer(uint8_t addr, uint8_t *data, uint16_t len, am_hal_iom_dir_e dir, bool cont) {
  if (!twi_up) {
    return -UDRV_NACK;
  }
  static uint32_t words[64];
  int32_t result = 0;
  twi2_take_semaphore();
  for (uint16_t done = 0; done < len || (len == 0 && done == 0);) {
    uint32_t const left = static_cast<uint32_t>(len - done);
    uint16_t n = static_cast<uint16_t>(left < sizeof words ? left : sizeof words);
    am_hal_iom_transfer_t xfer = {};
    xfer.uPeerInfo.ui32I2CDevAddr = addr;
    xfer.ui32NumBytes = n;
    xfer.eDirection = dir;
    xfer.bContinue = (done + n < len) || cont;
    if (dir == AM_HAL_IOM_TX) {
      memcpy(words, data + done, n);
      xfer.pui32TxBuffer = words;
    } else {
      xfer.pui32RxBuffer = words;
    }
    if (am_hal_iom_blocking_transfer(twi_handle, &xfer) != 0) {
      result = -UDRV_NACK;
      break;
    }
    if (dir == AM_HAL_IOM_RX) {
      memcpy(data + done, words, n);
    }
    done = static_cast<uint16_t>(done + n);
    if (len == 0) {
      break;
    }
  }
  twi2_give_semaphore();
  return result;
}

int32_t uhal_twimst_write(udrv_twimst_port port, uint8_t addr, uint8_t const *data, uint16_t len,
                          bool send_stop) {
  if (port != UDRV_TWIMST_0) {
    return -UDRV_NACK;
  }
  return twi_transfer(addr, const_cast<uint8_t *>(data), len, AM_HAL_IOM_TX, !send_stop);
}

int32_t uhal_twimst_read(udrv_twimst_port port, uint8_t addr, uint8_t *data, uint16_t len) {
  if (port != UDRV_TWIMST_0) {
    return -UDRV_NACK;
  }
  return twi_transfer(addr, data, len, AM_HAL_IOM_RX, false);
}

void uhal_twimst_suspend(void) {
  if (twi_active[UDRV_TWIMST_0]) {
    twimst_shut_down();
  }
}

void uhal_twimst_resume(void) {
  if (twi_active[UDRV_TWIMST_0]) {
    twimst_bring_up();
  }
}

}  // namespace

udrv_twimst_api twimst_driver = {uhal_twimst_init,  uhal_twimst_deinit, uhal_twimst_setup_freq,
                                 uhal_twimst_write, uhal_twimst_read,   uhal_twimst_suspend,
                                 uhal_twimst_resume};

extern "C" void am_iomaster2_isr(void) {
  if (twi_handle == nullptr) {
    return;
  }
  uint32_t status = 0;
  am_hal_iom_interrupt_status_get(twi_handle, true, &status);
  am_hal_iom_interrupt_clear(twi_handle, status);
  am_hal_iom_interrupt_service(twi_handle, status);
}

// ------------------------------------------------------------------- ADC --
namespace {

struct AdcPad {
  uint32_t pad;
  am_hal_adc_slot_chan_e channel;
  bool active;
};
AdcPad adc_pads[] = {
    {12, AM_HAL_ADC_SLOT_CHSEL_SE9, false}, {13, AM_HAL_ADC_SLOT_CHSEL_SE8, false},
    {31, AM_HAL_ADC_SLOT_CHSEL_SE3, false}, {32, AM_HAL_ADC_SLOT_CHSEL_SE4, false},
    {33, AM_HAL_ADC_SLOT_CHSEL_SE5, false},
};
UDRV_ADC_RESOLUTION adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
UDRV_ADC_MODE adc_mode = UDRV_ADC_MODE_DEFAULT;
void *adc_handle;
volatile bool adc_done;
volatile uint32_t adc_sample;

am_hal_adc_slot_prec_e precision(void) {
  switch (adc_resolution) {
    case UDRV_ADC_RESOLUTION_6BIT:
    case UDRV_ADC_RESOLUTION_8BIT:
      return AM_HAL_ADC_SLOT_8BIT;
    case UDRV_ADC_RESOLUTION_12BIT:
      return AM_HAL_ADC_SLOT_12BIT;
    case UDRV_ADC_RESOLUTION_14BIT:
      return AM_HAL_ADC_SLOT_14BIT;
    default:
      return AM_HAL_ADC_SLOT_10BIT;
  }
}

void adc_shut_down(void) {
  if (adc_handle == nullptr) {
    return;
  }
  am_hal_adc_disable(adc_handle);
  am_hal_adc_power_control(adc_handle, AM_HAL_SYSCTRL_DEEPSLEEP, false);
  for (AdcPad &p : adc_pads) {
    if (p.active) {
      am_hal_gpio_pinconfig(p.pad, g_AM_HAL_GPIO_DISABLE);
      p.active = false;
    }
  }
  am_hal_adc_deinitialize(adc_handle);
  adc_handle = nullptr;
  NVIC_DisableIRQ(ADC_IRQn);
}

}  // namespace

UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void) { return adc_resolution; }

UDRV_ADC_MODE uhal_adc_get_mode(void) { return adc_mode; }

int32_t uhal_adc_set_resolution_any(uint8_t resolution) {
  switch (resolution) {
    case UDRV_ADC_RESOLUTION_6BIT:
    case UDRV_ADC_RESOLUTION_8BIT:
      adc_resolution = UDRV_ADC_RESOLUTION_8BIT;
      break;
    case UDRV_ADC_RESOLUTION_12BIT:
    case UDRV_ADC_RESOLUTION_14BIT:
      adc_resolution = static_cast<UDRV_ADC_RESOLUTION>(resolution);
      break;
    default:
      adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
      break;
  }
  return 0;
}

void uhal_adc_set_mode(uint8_t mode) {
  adc_mode = mode == UDRV_ADC_MODE_1_5 ? UDRV_ADC_MODE_1_5 : UDRV_ADC_MODE_DEFAULT;
}

// One conversion. A pad without an analogue input is refused (-3) and the
// ADC is left alone.
int32_t uhal_adc_read(uint32_t pin, int16_t *value) {
  AdcPad *pad = nullptr;
  for (AdcPad &p : adc_pads) {
    if (p.pad == pin) {
      pad = &p;
    }
  }
  if (pad == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  pad->active = true;
  am_hal_gpio_pincfg_t cfg = {};
  cfg.uFuncSel = 0;  // the pad's ADC function
  APOLLO3_CHECK(am_hal_gpio_pinconfig(pin, cfg));
  APOLLO3_CHECK(am_hal_adc_initialize(0, &adc_handle));
  APOLLO3_CHECK(am_hal_adc_power_control(adc_handle, AM_HAL_SYSCTRL_WAKE, false));
  am_hal_adc_config_t config = {};
  config.eClock = AM_HAL_ADC_CLKSEL_HFRC;
  config.ePolarity = AM_HAL_ADC_TRIGPOL_RISING;
  config.eTrigger = AM_HAL_ADC_TRIGSEL_SOFTWARE;
  config.eReference =
      adc_mode == UDRV_ADC_MODE_1_5 ? AM_HAL_ADC_REFSEL_INT_1P5 : AM_HAL_ADC_REFSEL_INT_2P0;
  config.eClockMode = AM_HAL_ADC_CLKMODE_LOW_POWER;
  config.ePowerMode = AM_HAL_ADC_LPMODE0;
  config.eRepeat = AM_HAL_ADC_REPEATING_SCAN;
  APOLLO3_CHECK(am_hal_adc_configure(adc_handle, &config));
  am_hal_adc_slot_config_t slot = {};
  slot.eMeasToAvg = AM_HAL_ADC_SLOT_AVG_1;
  slot.ePrecisionMode = precision();
  slot.eChannel = pad->channel;
  slot.bWindowCompare = false;
  slot.bEnabled = true;
  APOLLO3_CHECK(am_hal_adc_configure_slot(adc_handle, 0, &slot));
  APOLLO3_CHECK(am_hal_adc_interrupt_enable(adc_handle, AM_HAL_ADC_INT_CNVCMP));
  NVIC_EnableIRQ(ADC_IRQn);
  APOLLO3_CHECK(am_hal_adc_enable(adc_handle));
  adc_done = false;
  APOLLO3_CHECK(am_hal_adc_sw_trigger(adc_handle));
  while (!adc_done) {
    __WFI();
  }
  *value = static_cast<int16_t>(adc_sample & 0xFFFF);
  adc_shut_down();
  return 0;
}

void uhal_adc_suspend(void) { adc_shut_down(); }

void uhal_adc_resume(void) {}

extern "C" void am_adc_isr(void) {
  if (adc_handle != nullptr) {
    uint32_t status = 0;
    am_hal_adc_interrupt_status(adc_handle, &status, false);
    am_hal_adc_interrupt_clear(adc_handle, status);
    if (status & AM_HAL_ADC_INT_CNVCMP) {
      uint32_t count = 1;
      am_hal_adc_sample_t sample = {};
      am_hal_adc_samples_read(adc_handle, false, nullptr, &count, &sample);
      adc_sample = sample.ui32Sample;
    }
  }
  adc_shut_down();
  adc_done = true;
}

// ------------------------------------------------------------------- PWM --
// Three ports on CTIMER segments clocked at 12 MHz (the high-frequency
// oscillator divided by 4). Nothing on this image sets a port up; the duty
// and the sleep's suspend and resume serve what another layer set up in
// uhal_pwm_status.
uhal_pwm_status_t uhal_pwm_status[UDRV_PWM_MAX];
UDRV_PWM_RESOLUTION pwm_resolution = UDRV_PWM_RESOLUTION_8BIT;

namespace {

// CTIMER 3 is the RTC's alarm (linked, both halves): a PWM there would
// stop the timer list, so a pad driven only by timer 3 has no PWM.
constexpr uint32_t kRtcAlarmTimer = 3;

struct PwmSegment {
  uint32_t timer;
  uint32_t segment;
};

// The segment that drives the pad, if it has one the PWM may use.
bool pwm_segment_of(uint32_t pin, PwmSegment *out) {
  if (pin >= AM_HAL_GPIO_MAX_PADS) {
    return false;
  }
  const am_hal_ctimer_output_t &o = am_hal_ctimer_outputs[pin];
  if (o.ui8Timer == AM_HAL_CTIMER_NO_OUTPUT || o.ui8Timer == kRtcAlarmTimer) {
    return false;
  }
  out->timer = o.ui8Timer;
  out->segment = o.ui32Segment;
  return true;
}

uint32_t pwm_period(UDRV_PWM_RESOLUTION resolution) {
  switch (resolution) {
    case UDRV_PWM_RESOLUTION_8BIT:
      return 256;
    case UDRV_PWM_RESOLUTION_10BIT:
      return 1024;
    case UDRV_PWM_RESOLUTION_12BIT:
      return 4096;
    case UDRV_PWM_RESOLUTION_14BIT:
      return 16384;
    default:
      return 0;
  }
}

// Waits, with interrupts masked, until the running segment's counter has
// wrapped once: the new period and duty are then in effect.
void pwm_wait_wrap(const PwmSegment &seg) {
  uint32_t const primask = am_hal_interrupt_master_disable();
  uint32_t last = am_hal_ctimer_read(seg.timer, seg.segment);
  for (;;) {
    uint32_t const now = am_hal_ctimer_read(seg.timer, seg.segment);
    if (now < last) {
      break;
    }
    last = now;
  }
  am_hal_interrupt_master_set(primask);
}

// Output forced low, segment cleared.
void pwm_disable(uint32_t pin, const PwmSegment &seg) {
  am_hal_ctimer_output_config(seg.timer, seg.segment, pin, AM_HAL_CTIMER_OUTPUT_FORCE0,
                              AM_HAL_GPIO_PIN_DRIVESTRENGTH_12MA);
  am_hal_ctimer_clear(seg.timer, seg.segment);
}

// Segment cleared, pad parked.
void pwm_deinit(uint32_t pin, const PwmSegment &seg) {
  am_hal_ctimer_clear(seg.timer, seg.segment);
  uhal_gpio_pin_suspend(pin);
}

// The crystal started, segment cleared.
void pwm_init(const PwmSegment &seg) {
  APOLLO3_CHECK(am_hal_clkgen_control(AM_HAL_CLKGEN_CONTROL_XTAL_START, nullptr));
  am_hal_ctimer_clear(seg.timer, seg.segment);
}

}  // namespace

// Duty 0 drives the pad low and a duty of the whole period drives it high;
// any other duty runs a repeating PWM. A refused duty leaves the port as it
// was.
int32_t uhal_pwm_set_duty(udrv_pwm_port port, uint32_t duty) {
  if (port >= UDRV_PWM_MAX) {
    return -UDRV_WRONG_ARG;
  }
  uint32_t const period = pwm_period(pwm_resolution);
  if (period == 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if (duty > period) {
    return -UDRV_WRONG_ARG;
  }
  uhal_pwm_status_t &status = uhal_pwm_status[port];
  PwmSegment seg;
  if (!pwm_segment_of(status.pin, &seg)) {
    return -UDRV_INTERNAL_ERR;
  }
  status.duty = duty;
  if (duty == 0 || duty == period) {
    am_hal_ctimer_stop(seg.timer, seg.segment);
    am_hal_ctimer_output_config(
        seg.timer, seg.segment, status.pin,
        duty == 0 ? AM_HAL_CTIMER_OUTPUT_FORCE0 : AM_HAL_CTIMER_OUTPUT_FORCE1,
        AM_HAL_GPIO_PIN_DRIVESTRENGTH_12MA);
    return 0;
  }
  am_hal_ctimer_stop(seg.timer, seg.segment);
  am_hal_ctimer_clear(seg.timer, seg.segment);
  am_hal_ctimer_config_single(seg.timer, seg.segment,
                              AM_HAL_CTIMER_HFRC_12MHZ | AM_HAL_CTIMER_FN_PWM_REPEAT |
                                  AM_HAL_CTIMER_PIN_ENABLE |
                                  (status.is_invert != 0 ? AM_HAL_CTIMER_PIN_INVERT : 0u));
  am_hal_ctimer_output_config(seg.timer, seg.segment, status.pin, AM_HAL_CTIMER_OUTPUT_NORMAL,
                              AM_HAL_GPIO_PIN_DRIVESTRENGTH_12MA);
  am_hal_ctimer_period_set(seg.timer, seg.segment, period, duty);
  am_hal_ctimer_aux_period_set(seg.timer, seg.segment, period, duty);
  am_hal_ctimer_start(seg.timer, seg.segment);
  pwm_wait_wrap(seg);
  return 0;
}

void uhal_pwm_suspend(void) {
  for (uhal_pwm_status_t &status : uhal_pwm_status) {
    PwmSegment seg;
    if (!pwm_segment_of(status.pin, &seg)) {
      continue;
    }
    if (status.enabled) {
      pwm_disable(status.pin, seg);
    }
    if (status.initialized) {
      pwm_deinit(status.pin, seg);
    }
  }
}

void uhal_pwm_resume(void) {
  for (uint8_t port = 0; port < UDRV_PWM_MAX; ++port) {
    const uhal_pwm_status_t &status = uhal_pwm_status[port];
    PwmSegment seg;
    if (!pwm_segment_of(status.pin, &seg)) {
      continue;
    }
    if (status.initialized) {
      pwm_init(seg);
    }
    if (status.enabled) {
      uhal_pwm_set_duty(static_cast<udrv_pwm_port>(port), status.duty);
    }
  }
}
