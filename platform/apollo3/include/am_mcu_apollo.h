// The Apollo3 vendor HAL as the port calls it, on the simulated chip: system
// and power, pads (GPIO), UART, IOM (SPI and I2C master), ADC, CTIMER,
// STIMER, flash and the OTA descriptor. Calls that wait (a blocking transfer,
// a conversion, a flash erase) move virtual time; interrupts and higher
// kernel tasks may run meanwhile, as on the chip.
//
// Every call returns AM_HAL_STATUS_SUCCESS (0) or a non-zero status; an
// argument the chip cannot take (a module it lacks, a null handle) is a
// non-zero status, never undefined behaviour.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "apollo3_cmsis.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- status --
enum {
  AM_HAL_STATUS_SUCCESS = 0,
  AM_HAL_STATUS_FAIL = 1,
  AM_HAL_STATUS_INVALID_HANDLE = 2,
  AM_HAL_STATUS_IN_USE = 3,
  AM_HAL_STATUS_TIMEOUT = 4,
  AM_HAL_STATUS_OUT_OF_RANGE = 5,
  AM_HAL_STATUS_INVALID_ARG = 6,
  AM_HAL_STATUS_INVALID_OPERATION = 7,
};

// Power states of a module (power-control calls).
typedef enum {
  AM_HAL_SYSCTRL_WAKE = 0,
  AM_HAL_SYSCTRL_NORMALSLEEP = 1,
  AM_HAL_SYSCTRL_DEEPSLEEP = 2,
} am_hal_sysctrl_power_state_e;

// ----------------------------------------------------- system and power --
#define AM_HAL_CLKGEN_CONTROL_SYSCLK_MAX 0u
#define AM_HAL_CLKGEN_CONTROL_XTAL_START 1u
#define AM_HAL_CLKGEN_CONTROL_XTAL_STOP 2u
uint32_t am_hal_clkgen_control(uint32_t control, void* arg);

typedef struct {
  bool bLRU;
  uint32_t eDescript;
  uint32_t eMode;
} am_hal_cachectrl_config_t;
extern const am_hal_cachectrl_config_t am_hal_cachectrl_defaults;
uint32_t am_hal_cachectrl_config(const am_hal_cachectrl_config_t* config);
uint32_t am_hal_cachectrl_enable(void);

void am_hal_sysctrl_fpu_enable(void);
void am_hal_sysctrl_fpu_stacking_enable(bool lazy);
uint32_t am_hal_pwrctrl_low_power_init(void);
void am_hal_rtc_osc_disable(void);

// Sleep until an interrupt (normal or deep sleep: virtual time moves to the
// next event; the STIMER and CTIMER keep counting from the crystal).
#define AM_HAL_SYSCTRL_SLEEP_DEEP true
#define AM_HAL_SYSCTRL_SLEEP_NORMAL false
void am_hal_sysctrl_sleep(bool deep);

// Global interrupt enable (PRIMASK); each returns the PRIMASK before.
uint32_t am_hal_interrupt_master_enable(void);
uint32_t am_hal_interrupt_master_disable(void);
void am_hal_interrupt_master_set(uint32_t primask);

// Software resets; neither returns. POI keeps the flash and the retained
// state, as POR does.
#define AM_HAL_RESET_CONTROL_SWPOR 0u
#define AM_HAL_RESET_CONTROL_SWPOI 1u
uint32_t am_hal_reset_control(uint32_t control, void* arg);

// ------------------------------------------------------------------ pads --
// The 32-bit pad configuration word, field by field from bit 0.
typedef struct {
  uint32_t uFuncSel : 3;        // pad function (AM_HAL_PIN_<n>_<fn>; 3 is GPIO)
  uint32_t ePowerSw : 2;        // power switch
  uint32_t ePullup : 3;         // AM_HAL_GPIO_PIN_PULLUP_*
  uint32_t eDriveStrength : 2;  // AM_HAL_GPIO_PIN_DRIVESTRENGTH_*
  uint32_t eGPOutcfg : 2;       // AM_HAL_GPIO_PIN_OUTCFG_*
  uint32_t eGPInput : 1;        // AM_HAL_GPIO_PIN_INPUT_*
  uint32_t eIntDir : 2;         // AM_HAL_GPIO_PIN_INTDIR_*
  uint32_t eGPRdZero : 1;
  uint32_t uIOMnum : 3;
  uint32_t uNCE : 2;
  uint32_t eCEpol : 1;
  uint32_t reserved : 10;
} am_hal_gpio_pincfg_t;

static inline uint32_t am_hal_gpio_pincfg_word(am_hal_gpio_pincfg_t cfg) {
  uint32_t w;
  __builtin_memcpy(&w, &cfg, sizeof w);
  return w;
}
static inline am_hal_gpio_pincfg_t am_hal_gpio_pincfg_from_word(uint32_t w) {
  am_hal_gpio_pincfg_t cfg;
  __builtin_memcpy(&cfg, &w, sizeof cfg);
  return cfg;
}

#define AM_HAL_GPIO_MAX_PADS 50
#define AM_HAL_GPIO_FUNC_GPIO 3u  // function 3 is GPIO on every pad

enum {
  AM_HAL_GPIO_PIN_PULLUP_NONE = 0,
  AM_HAL_GPIO_PIN_PULLUP_WEAK = 1,
  AM_HAL_GPIO_PIN_PULLUP_1_5K = 2,
  AM_HAL_GPIO_PIN_PULLUP_6K = 3,
  AM_HAL_GPIO_PIN_PULLUP_12K = 4,
  AM_HAL_GPIO_PIN_PULLUP_24K = 5,
};
enum {
  AM_HAL_GPIO_PIN_DRIVESTRENGTH_2MA = 0,
  AM_HAL_GPIO_PIN_DRIVESTRENGTH_4MA = 1,
  AM_HAL_GPIO_PIN_DRIVESTRENGTH_8MA = 2,
  AM_HAL_GPIO_PIN_DRIVESTRENGTH_12MA = 3,
};
enum {
  AM_HAL_GPIO_PIN_OUTCFG_DISABLE = 0,
  AM_HAL_GPIO_PIN_OUTCFG_PUSHPULL = 1,
  AM_HAL_GPIO_PIN_OUTCFG_OPENDRAIN = 2,
  AM_HAL_GPIO_PIN_OUTCFG_TRISTATE = 3,
};
enum {
  AM_HAL_GPIO_PIN_INPUT_NONE = 0,
  AM_HAL_GPIO_PIN_INPUT_ENABLE = 1,
};
enum {
  AM_HAL_GPIO_PIN_INTDIR_LO2HI = 0,
  AM_HAL_GPIO_PIN_INTDIR_HI2LO = 1,
  AM_HAL_GPIO_PIN_INTDIR_NONE = 2,
  AM_HAL_GPIO_PIN_INTDIR_BOTH = 3,
};

// Pad functions the board uses (pad number, function). Every pad has GPIO
// at function 3.
#define AM_HAL_PIN_5_M0SCK 1u
#define AM_HAL_PIN_6_M0MISO 1u
#define AM_HAL_PIN_7_M0MOSI 1u
#define AM_HAL_PIN_8_M1SCK 1u
#define AM_HAL_PIN_9_M1MISO 1u
#define AM_HAL_PIN_10_M1MOSI 1u
#define AM_HAL_PIN_12_ADCD0NSE9 0u
#define AM_HAL_PIN_13_ADCD0PSE8 0u
#define AM_HAL_PIN_25_M2SDAWIR3 4u
#define AM_HAL_PIN_27_M2SCL 4u
#define AM_HAL_PIN_31_ADCSE3 0u
#define AM_HAL_PIN_32_ADCSE4 0u
#define AM_HAL_PIN_33_ADCSE5 0u
#define AM_HAL_PIN_39_UART0TX 0u
#define AM_HAL_PIN_40_UART0RX 0u
#define AM_HAL_PIN_42_UART1TX 0u
#define AM_HAL_PIN_43_UART1RX 0u
// The analogue function of an ADC pad: what the converter reads.
#define AM_HAL_PIN_FUNC_ADC 0u

// Pad words the HAL provides.
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_DISABLE;    // GPIO function, all off (word 3)
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_DEFAULT;    // the same as DISABLE
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_OUTPUT;     // push-pull, 2 mA
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_OUTPUT_12;  // push-pull, 12 mA
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_INPUT;      // input enabled
extern const am_hal_gpio_pincfg_t g_AM_HAL_GPIO_INPUT_PULLUP;

uint32_t am_hal_gpio_pinconfig(uint32_t pad, am_hal_gpio_pincfg_t cfg);

typedef enum {
  AM_HAL_GPIO_OUTPUT_CLEAR = 0,
  AM_HAL_GPIO_OUTPUT_SET = 1,
  AM_HAL_GPIO_OUTPUT_TOGGLE = 2,
  AM_HAL_GPIO_OUTPUT_TRISTATE_DISABLE = 3,
  AM_HAL_GPIO_OUTPUT_TRISTATE_ENABLE = 4,
} am_hal_gpio_write_type_e;
typedef enum {
  AM_HAL_GPIO_INPUT_READ = 0,
  AM_HAL_GPIO_OUTPUT_READ = 1,
  AM_HAL_GPIO_ENABLE_READ = 2,
} am_hal_gpio_read_type_e;
uint32_t am_hal_gpio_state_write(uint32_t pad, am_hal_gpio_write_type_e type);
// A pad polled again at the same virtual time with nothing changed lets time
// move (a loop waiting for a line never stalls the clock).
uint32_t am_hal_gpio_state_read(uint32_t pad, am_hal_gpio_read_type_e type, uint32_t* value);
#define am_hal_gpio_output_set(pad) am_hal_gpio_state_write(pad, AM_HAL_GPIO_OUTPUT_SET)
#define am_hal_gpio_output_clear(pad) am_hal_gpio_state_write(pad, AM_HAL_GPIO_OUTPUT_CLEAR)
#define am_hal_gpio_output_toggle(pad) am_hal_gpio_state_write(pad, AM_HAL_GPIO_OUTPUT_TOGGLE)
uint32_t am_hal_gpio_input_read(uint32_t pad);
uint32_t am_hal_gpio_output_read(uint32_t pad);

// Pad interrupts: one status bit per pad (64-bit masks), one NVIC line
// (GPIO_IRQn). An edge that matches the pad's eIntDir sets its status bit
// while the pad is a GPIO input; an enabled set bit makes GPIO_IRQn pending.
#define AM_HAL_GPIO_BIT(pad) (UINT64_C(1) << (pad))
typedef void (*am_hal_gpio_handler_t)(void);
uint32_t am_hal_gpio_interrupt_enable(uint64_t mask);
uint32_t am_hal_gpio_interrupt_disable(uint64_t mask);
uint32_t am_hal_gpio_interrupt_clear(uint64_t mask);
uint32_t am_hal_gpio_interrupt_status_get(bool enabled_only, uint64_t* status);
uint32_t am_hal_gpio_interrupt_register(uint32_t pad, am_hal_gpio_handler_t handler);
// Calls the registered handler of every pad set in `status`, lowest first.
uint32_t am_hal_gpio_interrupt_service(uint64_t status);

// ------------------------------------------------------------------ UART --
// Modules 0 and 1. The receive FIFO holds 32 bytes (a byte arriving at a full
// FIFO is lost: overrun); bytes that arrive while the module is not powered
// and configured are lost, and their start bit is a falling edge on the RX
// pad (40 for UART0, 43 for UART1) that a GPIO interrupt can see. RX raises
// at the FIFO threshold, RX_TMOUT after 32 bit times of silence with bytes
// waiting, TXCMP when the last byte has left the line.
#define AM_HAL_UART_INT_TXCMP 0x01u
#define AM_HAL_UART_INT_TX 0x02u
#define AM_HAL_UART_INT_RX 0x10u
#define AM_HAL_UART_INT_RX_TMOUT 0x40u
#define AM_HAL_UART_INT_OVER_RUN 0x400u

#define AM_HAL_UART_DATA_BITS_5 0u
#define AM_HAL_UART_DATA_BITS_6 1u
#define AM_HAL_UART_DATA_BITS_7 2u
#define AM_HAL_UART_DATA_BITS_8 3u
#define AM_HAL_UART_PARITY_NONE 0u
#define AM_HAL_UART_PARITY_ODD 1u
#define AM_HAL_UART_PARITY_EVEN 2u
#define AM_HAL_UART_ONE_STOP_BIT 0u
#define AM_HAL_UART_TWO_STOP_BITS 1u
#define AM_HAL_UART_FLOW_CTRL_NONE 0u
#define AM_HAL_UART_FLOW_CTRL_RTS_CTS 1u
// FIFO interrupt levels: TX in bits 0-2, RX in bits 3-5.
#define AM_HAL_UART_TX_FIFO_1_8 0u
#define AM_HAL_UART_TX_FIFO_1_4 1u
#define AM_HAL_UART_TX_FIFO_1_2 2u
#define AM_HAL_UART_TX_FIFO_3_4 3u
#define AM_HAL_UART_TX_FIFO_7_8 4u
#define AM_HAL_UART_RX_FIFO_1_8 (0u << 3)
#define AM_HAL_UART_RX_FIFO_1_4 (1u << 3)
#define AM_HAL_UART_RX_FIFO_1_2 (2u << 3)
#define AM_HAL_UART_RX_FIFO_3_4 (3u << 3)
#define AM_HAL_UART_RX_FIFO_7_8 (4u << 3)

typedef struct {
  uint32_t ui32BaudRate;
  uint32_t ui32DataBits;
  uint32_t ui32Parity;
  uint32_t ui32StopBits;
  uint32_t ui32FlowControl;
  uint32_t ui32FifoLevels;
  uint8_t* pui8TxBuffer;  // software buffers: not supported (must be null)
  uint32_t ui32TxBufferSize;
  uint8_t* pui8RxBuffer;
  uint32_t ui32RxBufferSize;
} am_hal_uart_config_t;

#define AM_HAL_UART_WRITE 0u
#define AM_HAL_UART_READ 1u
#define AM_HAL_UART_WAIT_FOREVER 0xFFFFFFFFu
typedef struct {
  uint32_t ui32Direction;  // AM_HAL_UART_WRITE or AM_HAL_UART_READ
  uint8_t* pui8Data;
  uint32_t ui32NumBytes;
  uint32_t ui32TimeoutMs;  // 0: take what fits / what waits; WAIT_FOREVER
  uint32_t* pui32BytesTransferred;
} am_hal_uart_transfer_t;

uint32_t am_hal_uart_initialize(uint32_t module, void** handle);
uint32_t am_hal_uart_deinitialize(void* handle);
uint32_t am_hal_uart_power_control(void* handle, am_hal_sysctrl_power_state_e state, bool retain);
uint32_t am_hal_uart_configure(void* handle, const am_hal_uart_config_t* config);
uint32_t am_hal_uart_interrupt_enable(void* handle, uint32_t mask);
uint32_t am_hal_uart_interrupt_disable(void* handle, uint32_t mask);
uint32_t am_hal_uart_interrupt_clear(void* handle, uint32_t mask);
uint32_t am_hal_uart_interrupt_status_get(void* handle, uint32_t* status, bool enabled_only);
uint32_t am_hal_uart_interrupt_service(void* handle, uint32_t status, uint32_t* idle);
// Write: a blocking write waits for FIFO room (WAIT_FOREVER) and returns when
// every byte is in the FIFO; TXCMP follows when the line is idle. Read: takes
// what the FIFO holds, up to ui32NumBytes, without waiting (timeout 0).
uint32_t am_hal_uart_transfer(void* handle, const am_hal_uart_transfer_t* transfer);
// Whether the transmitter is still sending (a poll that lets time move).
bool am_hal_uart_tx_busy(void* handle);

// ------------------------------------------------------------------- IOM --
// Modules 0 to 2 as the board wires them: IOM0 and IOM1 SPI masters (no
// hardware chip select on this board: the port drives a pad), IOM2 an I2C
// master on the board's I2C bus (sim bus 2).
typedef enum {
  AM_HAL_IOM_SPI_MODE = 0,
  AM_HAL_IOM_I2C_MODE = 1,
} am_hal_iom_mode_e;
typedef enum {
  AM_HAL_IOM_SPI_MODE_0 = 0,  // CPOL 0, CPHA 0
  AM_HAL_IOM_SPI_MODE_1 = 1,  // CPOL 0, CPHA 1
  AM_HAL_IOM_SPI_MODE_2 = 2,  // CPOL 1, CPHA 0
  AM_HAL_IOM_SPI_MODE_3 = 3,  // CPOL 1, CPHA 1
} am_hal_iom_spi_mode_e;
#define AM_HAL_IOM_100KHZ 100000u
#define AM_HAL_IOM_125KHZ 125000u
#define AM_HAL_IOM_250KHZ 250000u
#define AM_HAL_IOM_400KHZ 400000u
#define AM_HAL_IOM_500KHZ 500000u
#define AM_HAL_IOM_1MHZ 1000000u
#define AM_HAL_IOM_2MHZ 2000000u
#define AM_HAL_IOM_4MHZ 4000000u
#define AM_HAL_IOM_8MHZ 8000000u

typedef struct {
  am_hal_iom_mode_e eInterfaceMode;
  uint32_t ui32ClockFreq;
  am_hal_iom_spi_mode_e eSpiMode;
  uint32_t* pNBTxnBuf;  // command buffer for non-blocking transfers (recorded)
  uint32_t ui32NBTxnBufLength;
} am_hal_iom_config_t;

typedef enum {
  AM_HAL_IOM_TX = 0,
  AM_HAL_IOM_RX = 1,
  AM_HAL_IOM_FULLDUPLEX = 2,
} am_hal_iom_dir_e;
typedef struct {
  union {
    uint32_t ui32SpiChipSelect;
    uint32_t ui32I2CDevAddr;  // 7-bit address
  } uPeerInfo;
  uint32_t ui32InstrLen;  // 0 to 3 instruction (offset) bytes sent first
  uint32_t ui32Instr;
  uint32_t ui32NumBytes;
  am_hal_iom_dir_e eDirection;
  uint32_t* pui32TxBuffer;
  uint32_t* pui32RxBuffer;
  bool bContinue;  // I2C: hold the bus (no stop) for the next transfer
  uint8_t ui8RepeatCount;
  uint8_t ui8Priority;
  uint32_t ui32PauseCondition;
  uint32_t ui32StatusSetClr;
} am_hal_iom_transfer_t;

#define AM_HAL_IOM_INT_CMDCMP 0x01u
#define AM_HAL_IOM_INT_THR 0x02u
#define AM_HAL_IOM_INT_NAK 0x10u
#define AM_HAL_IOM_INT_ALL 0xFFu
// A transfer the I2C target did not acknowledge.
#define AM_HAL_IOM_ERR_I2C_NAK 0x08000001u

uint32_t am_hal_iom_initialize(uint32_t module, void** handle);
uint32_t am_hal_iom_uninitialize(void* handle);
uint32_t am_hal_iom_power_ctrl(void* handle, am_hal_sysctrl_power_state_e state, bool retain);
uint32_t am_hal_iom_configure(void* handle, const am_hal_iom_config_t* config);
uint32_t am_hal_iom_enable(void* handle);
uint32_t am_hal_iom_disable(void* handle);
uint32_t am_hal_iom_interrupt_enable(void* handle, uint32_t mask);
uint32_t am_hal_iom_interrupt_disable(void* handle, uint32_t mask);
uint32_t am_hal_iom_interrupt_clear(void* handle, uint32_t mask);
uint32_t am_hal_iom_interrupt_status_get(void* handle, bool enabled_only, uint32_t* status);
uint32_t am_hal_iom_interrupt_service(void* handle, uint32_t status);
// SPI bit order (least significant bit first when true); applies to the
// bytes on the wire from now on. A register bit of the IOM on the chip.
uint32_t am_hal_iom_spi_lsb_first(void* handle, bool lsb_first);
// A transfer in one direction (SPI: TX or RX; I2C: write or read).
uint32_t am_hal_iom_blocking_transfer(void* handle, am_hal_iom_transfer_t* transfer);
// SPI: ui32NumBytes out of pui32TxBuffer while as many come into
// pui32RxBuffer.
uint32_t am_hal_iom_spi_blocking_fullduplex(void* handle, am_hal_iom_transfer_t* transfer);

// ------------------------------------------------------------------- ADC --
// One converter; slot 0 to 7; single-ended channels SE0 to SE9 read the pads
// (SE3 pad 31, SE4 pad 32, SE5 pad 33, SE8 pad 13, SE9 pad 12, SE0 pad 16,
// SE1 pad 29, SE2 pad 11, SE6 pad 34, SE7 pad 35) while the pad has its ADC
// function; BATT and TEMP are internal. A conversion takes 10 us and raises
// CNVCMP (and SCNCMP) on ADC_IRQn.
typedef enum {
  AM_HAL_ADC_CLKSEL_OFF = 0,
  AM_HAL_ADC_CLKSEL_HFRC = 1,
  AM_HAL_ADC_CLKSEL_HFRC_DIV2 = 2,
} am_hal_adc_clksel_e;
typedef enum {
  AM_HAL_ADC_TRIGPOL_RISING = 0,
  AM_HAL_ADC_TRIGPOL_FALLING = 1,
} am_hal_adc_trigpol_e;
typedef enum {
  AM_HAL_ADC_TRIGSEL_EXT0 = 0,
  AM_HAL_ADC_TRIGSEL_SOFTWARE = 7,
} am_hal_adc_trigsel_e;
typedef enum {
  AM_HAL_ADC_REFSEL_INT_2P0 = 0,
  AM_HAL_ADC_REFSEL_INT_1P5 = 1,
  AM_HAL_ADC_REFSEL_EXT_2P0 = 2,
  AM_HAL_ADC_REFSEL_EXT_1P5 = 3,
} am_hal_adc_refsel_e;
typedef enum {
  AM_HAL_ADC_CLKMODE_LOW_POWER = 0,
  AM_HAL_ADC_CLKMODE_LOW_LATENCY = 1,
} am_hal_adc_clkmode_e;
typedef enum {
  AM_HAL_ADC_LPMODE0 = 0,
  AM_HAL_ADC_LPMODE1 = 1,
} am_hal_adc_lpmode_e;
typedef enum {
  AM_HAL_ADC_SINGLE_SCAN = 0,
  AM_HAL_ADC_REPEATING_SCAN = 1,
} am_hal_adc_repeat_e;
typedef struct {
  am_hal_adc_clksel_e eClock;
  am_hal_adc_trigpol_e ePolarity;
  am_hal_adc_trigsel_e eTrigger;
  am_hal_adc_refsel_e eReference;
  am_hal_adc_clkmode_e eClockMode;
  am_hal_adc_lpmode_e ePowerMode;
  am_hal_adc_repeat_e eRepeat;
} am_hal_adc_config_t;

typedef enum {
  AM_HAL_ADC_SLOT_AVG_1 = 0,
  AM_HAL_ADC_SLOT_AVG_2 = 1,
  AM_HAL_ADC_SLOT_AVG_4 = 2,
  AM_HAL_ADC_SLOT_AVG_8 = 3,
} am_hal_adc_meas_avg_e;
typedef enum {
  AM_HAL_ADC_SLOT_14BIT = 0,
  AM_HAL_ADC_SLOT_12BIT = 1,
  AM_HAL_ADC_SLOT_10BIT = 2,
  AM_HAL_ADC_SLOT_8BIT = 3,
} am_hal_adc_slot_prec_e;
typedef enum {
  AM_HAL_ADC_SLOT_CHSEL_SE0 = 0,
  AM_HAL_ADC_SLOT_CHSEL_SE1 = 1,
  AM_HAL_ADC_SLOT_CHSEL_SE2 = 2,
  AM_HAL_ADC_SLOT_CHSEL_SE3 = 3,
  AM_HAL_ADC_SLOT_CHSEL_SE4 = 4,
  AM_HAL_ADC_SLOT_CHSEL_SE5 = 5,
  AM_HAL_ADC_SLOT_CHSEL_SE6 = 6,
  AM_HAL_ADC_SLOT_CHSEL_SE7 = 7,
  AM_HAL_ADC_SLOT_CHSEL_SE8 = 8,
  AM_HAL_ADC_SLOT_CHSEL_SE9 = 9,
  AM_HAL_ADC_SLOT_CHSEL_TEMP = 20,
  AM_HAL_ADC_SLOT_CHSEL_BATT = 21,
} am_hal_adc_slot_chan_e;
typedef struct {
  am_hal_adc_meas_avg_e eMeasToAvg;
  am_hal_adc_slot_prec_e ePrecisionMode;
  am_hal_adc_slot_chan_e eChannel;
  bool bWindowCompare;
  bool bEnabled;
} am_hal_adc_slot_config_t;
typedef struct {
  uint32_t ui32Sample;  // the value at the slot's precision (0 to 2^bits - 1)
  uint32_t ui32Slot;
} am_hal_adc_sample_t;

#define AM_HAL_ADC_INT_CNVCMP 0x01u  // a conversion completed
#define AM_HAL_ADC_INT_SCNCMP 0x02u  // a scan completed
#define AM_HAL_ADC_INT_FIFOOVR1 0x04u
#define AM_HAL_ADC_INT_FIFOOVR2 0x08u

uint32_t am_hal_adc_initialize(uint32_t module, void** handle);
uint32_t am_hal_adc_deinitialize(void* handle);
uint32_t am_hal_adc_power_control(void* handle, am_hal_sysctrl_power_state_e state, bool retain);
uint32_t am_hal_adc_configure(void* handle, const am_hal_adc_config_t* config);
uint32_t am_hal_adc_configure_slot(void* handle, uint32_t slot,
                                   const am_hal_adc_slot_config_t* config);
uint32_t am_hal_adc_enable(void* handle);
uint32_t am_hal_adc_disable(void* handle);
uint32_t am_hal_adc_sw_trigger(void* handle);
uint32_t am_hal_adc_interrupt_enable(void* handle, uint32_t mask);
uint32_t am_hal_adc_interrupt_disable(void* handle, uint32_t mask);
uint32_t am_hal_adc_interrupt_status(void* handle, uint32_t* status, bool enabled_only);
uint32_t am_hal_adc_interrupt_clear(void* handle, uint32_t mask);
// Takes up to *count samples from the FIFO (pui32InSampleBuffer null: the
// converter's own FIFO); *count becomes the number taken.
uint32_t am_hal_adc_samples_read(void* handle, bool full_sample, uint32_t* pui32InSampleBuffer,
                                 uint32_t* count, am_hal_adc_sample_t* samples);

// ---------------------------------------------------------------- CTIMER --
// Timers 0 to 7, each of segments A and B (16 bits) or both linked (32 bits).
#define AM_HAL_CTIMER_TIMERA 0x0000FFFFu
#define AM_HAL_CTIMER_TIMERB 0xFFFF0000u
#define AM_HAL_CTIMER_BOTH 0xFFFFFFFFu
// Configuration word of a segment (or of both).
#define AM_HAL_CTIMER_CLK_MASK 0x1Fu
#define AM_HAL_CTIMER_HFRC_12MHZ 0x01u
#define AM_HAL_CTIMER_HFRC_3MHZ 0x02u
#define AM_HAL_CTIMER_XT_32_768KHZ 0x0Au
#define AM_HAL_CTIMER_XT_16_384KHZ 0x0Bu
#define AM_HAL_CTIMER_LFRC_1KHZ 0x0Eu
#define AM_HAL_CTIMER_FN_MASK (7u << 5)
#define AM_HAL_CTIMER_FN_ONCE (0u << 5)
#define AM_HAL_CTIMER_FN_REPEAT (1u << 5)
#define AM_HAL_CTIMER_FN_PWM_ONCE (2u << 5)
#define AM_HAL_CTIMER_FN_PWM_REPEAT (3u << 5)
#define AM_HAL_CTIMER_FN_CONTINUOUS (6u << 5)
#define AM_HAL_CTIMER_INT_ENABLE (1u << 8)
#define AM_HAL_CTIMER_PIN_ENABLE (1u << 9)
#define AM_HAL_CTIMER_PIN_INVERT (1u << 10)
#define AM_HAL_CTIMER_LINK (1u << 31)

// Interrupt bits: compare 0 of segment A/B of timer n, then compare 1.
#define AM_HAL_CTIMER_INT_TIMERA_C0(n) (1u << (2 * (n)))
#define AM_HAL_CTIMER_INT_TIMERB_C0(n) (1u << (2 * (n) + 1))
#define AM_HAL_CTIMER_INT_TIMERA_C1(n) (1u << (16 + 2 * (n)))
#define AM_HAL_CTIMER_INT_TIMERB_C1(n) (1u << (17 + 2 * (n)))
#define AM_HAL_CTIMER_INT_TIMERA0C0 AM_HAL_CTIMER_INT_TIMERA_C0(0)
#define AM_HAL_CTIMER_INT_TIMERA1C0 AM_HAL_CTIMER_INT_TIMERA_C0(1)
#define AM_HAL_CTIMER_INT_TIMERA2C0 AM_HAL_CTIMER_INT_TIMERA_C0(2)
#define AM_HAL_CTIMER_INT_TIMERA3C0 AM_HAL_CTIMER_INT_TIMERA_C0(3)
#define AM_HAL_CTIMER_INT_TIMERB3C0 AM_HAL_CTIMER_INT_TIMERB_C0(3)

// Output modes of a segment's pad.
#define AM_HAL_CTIMER_OUTPUT_NORMAL 0u
#define AM_HAL_CTIMER_OUTPUT_SECONDARY 1u
#define AM_HAL_CTIMER_OUTPUT_FORCE0 2u
#define AM_HAL_CTIMER_OUTPUT_FORCE1 3u

typedef void (*am_hal_ctimer_handler_t)(void);

// Which timer segment can drive a pad (AM_HAL_CTIMER_NO_OUTPUT where none):
// am_hal_ctimer_outputs[pad].
#define AM_HAL_CTIMER_NO_OUTPUT 0xFFu
typedef struct {
  uint8_t ui8Timer;      // 0 to 7, or AM_HAL_CTIMER_NO_OUTPUT
  uint32_t ui32Segment;  // AM_HAL_CTIMER_TIMERA or AM_HAL_CTIMER_TIMERB
} am_hal_ctimer_output_t;
extern const am_hal_ctimer_output_t am_hal_ctimer_outputs[AM_HAL_GPIO_MAX_PADS];

void am_hal_ctimer_config_single(uint32_t timer, uint32_t segment, uint32_t config);
void am_hal_ctimer_start(uint32_t timer, uint32_t segment);
void am_hal_ctimer_stop(uint32_t timer, uint32_t segment);
// Stops the segment and sets its counter to 0.
void am_hal_ctimer_clear(uint32_t timer, uint32_t segment);
uint32_t am_hal_ctimer_read(uint32_t timer, uint32_t segment);
// Compare register 0 or 1 of the segment.
void am_hal_ctimer_compare_set(uint32_t timer, uint32_t segment, uint32_t compare_reg,
                               uint32_t value);
// PWM: the counter counts 0 to `period`; the output is high while the count
// is below `on_time` (inverted with AM_HAL_CTIMER_PIN_INVERT).
void am_hal_ctimer_period_set(uint32_t timer, uint32_t segment, uint32_t period, uint32_t on_time);
void am_hal_ctimer_aux_period_set(uint32_t timer, uint32_t segment, uint32_t period,
                                  uint32_t on_time);
uint32_t am_hal_ctimer_output_config(uint32_t timer, uint32_t segment, uint32_t pad, uint32_t mode,
                                     uint32_t drive);
void am_hal_ctimer_int_enable(uint32_t mask);
void am_hal_ctimer_int_disable(uint32_t mask);
void am_hal_ctimer_int_clear(uint32_t mask);
void am_hal_ctimer_int_set(uint32_t mask);
uint32_t am_hal_ctimer_int_status_get(bool enabled_only);
void am_hal_ctimer_int_register(uint32_t mask, am_hal_ctimer_handler_t handler);
// Calls the registered handler of every bit set in `status`.
void am_hal_ctimer_int_service(uint32_t status);

// ---------------------------------------------------------------- STIMER --
// The system timer: a 32-bit counter at 32768 Hz from the crystal, eight
// compares (A to H, interrupt lines STIMER_CMPR0..7) and an overflow
// (STIMER_IRQn). It runs from power-on and through deep sleep.
#define AM_HAL_STIMER_XTAL_32KHZ 0x01u
#define AM_HAL_STIMER_CFG_RUN 0x00u
#define AM_HAL_STIMER_CFG_FREEZE (1u << 8)
#define AM_HAL_STIMER_CFG_CLEAR (1u << 9)
#define AM_HAL_STIMER_CFG_COMPARE_A_ENABLE (1u << 10)
#define AM_HAL_STIMER_CFG_COMPARE_B_ENABLE (1u << 11)
#define AM_HAL_STIMER_INT_COMPAREA 0x001u
#define AM_HAL_STIMER_INT_COMPAREB 0x002u
#define AM_HAL_STIMER_INT_OVERFLOW 0x100u
#define AM_HAL_STIMER_HZ 32768u

uint32_t am_hal_stimer_config(uint32_t config);
uint32_t am_hal_stimer_counter_get(void);
void am_hal_stimer_counter_clear(void);
// Compare `cmp` (0 to 7) fires `delta` counts from now.
uint32_t am_hal_stimer_compare_delta_set(uint32_t cmp, uint32_t delta);
uint32_t am_hal_stimer_compare_get(uint32_t cmp);
void am_hal_stimer_int_enable(uint32_t mask);
void am_hal_stimer_int_disable(uint32_t mask);
void am_hal_stimer_int_set(uint32_t mask);
void am_hal_stimer_int_clear(uint32_t mask);
uint32_t am_hal_stimer_int_status_get(bool enabled_only);

// ----------------------------------------------------------------- flash --
// 1 MiB at bus address 0 in two instances of 512 KiB, pages of 8 KiB. Reads
// go through the address (mapped on the host from 0x1000 up). Programming
// needs erased words (0xFFFFFFFF) and the key; an erase sets a page to 0xFF.
// Both take the flash's time (a page erase 15 ms, a word 20 us).
#define AM_HAL_FLASH_ADDR 0x00000000u
#define AM_HAL_FLASH_PROGRAM_KEY 0x12344321u
#define AM_HAL_FLASH_PAGE_SIZE 8192u
#define AM_HAL_FLASH_INSTANCE_SIZE (512u * 1024u)
#define AM_HAL_FLASH_TOTAL_SIZE (1024u * 1024u)
#define AM_HAL_FLASH_ADDR2INST(addr) (((uint32_t)(addr) >> 19) & 1u)
#define AM_HAL_FLASH_ADDR2PAGE(addr) (((uint32_t)(addr) >> 13) & 0x3Fu)
// Program `words` 32-bit words from `src` at flash address `dst`. Returns 0,
// or non-zero (nothing written) for a wrong key, an address outside the
// flash, a misaligned address or a word that is not erased.
int am_hal_flash_program_main(uint32_t key, const uint32_t* src, uint32_t* dst, uint32_t words);
// Erase page `page` (0 to 63) of instance `instance` (0 or 1).
int am_hal_flash_page_erase(uint32_t key, uint32_t instance, uint32_t page);
uint32_t am_hal_flash_load_ui32(uint32_t addr);

// ------------------------------------------------------ OTA descriptor ---
// The descriptor page the external bootloader reads to install staged
// images. Host format at the descriptor address: word 0 the magic
// OTA_INFO_MAGIC_NUM, then up to 8 entries of two words {image address,
// magic number given to am_hal_ota_add}; erased words end the list.
#define OTA_INFO_MAGIC_NUM 0xDEADCAFEu
#define AM_HAL_OTA_MAX_OTA 8u
typedef struct {
  uint32_t* pImage;
  uint32_t status;  // 0: pending
} am_hal_ota_status_t;
uint32_t am_hal_ota_init(uint32_t key, uint32_t* descriptor);
uint32_t am_hal_ota_add(uint32_t key, uint8_t magic_num, uint32_t* image);
uint32_t am_hal_ota_get_status(uint32_t key, uint32_t max, am_hal_ota_status_t* status);

// --------------------------------------------------------- BLE interface --
// (the controller interface of the BLE core comes with the BLE stand-in)

#ifdef __cplusplus
}
#endif
