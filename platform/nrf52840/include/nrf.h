// Cortex-M4F core and the nRF52840 registers the port touches directly, on
// the simulated chip. Registers with an effect (a task, a reset request) are
// small objects whose assignment does what the hardware does.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  NonMaskableInt_IRQn = -14,
  HardFault_IRQn = -13,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,
  POWER_CLOCK_IRQn = 0,
  RADIO_IRQn = 1,
  UARTE0_UART0_IRQn = 2,
  SPIM0_SPIS0_TWIM0_TWIS0_SPI0_TWI0_IRQn = 3,
  SPIM1_SPIS1_TWIM1_TWIS1_SPI1_TWI1_IRQn = 4,
  NFCT_IRQn = 5,
  GPIOTE_IRQn = 6,
  SAADC_IRQn = 7,
  RTC0_IRQn = 11,
  RTC1_IRQn = 17,
  SWI2_EGU2_IRQn = 22,
  PWM0_IRQn = 28,
  SPIM2_SPIS2_SPI2_IRQn = 35,
  RTC2_IRQn = 36,
  FPU_IRQn = 38,
  USBD_IRQn = 39,
  UARTE1_IRQn = 40,
  SPIM3_IRQn = 47,
} IRQn_Type;

// Interrupt lines of the chip (the last one is SPIM3).
#define NRF52840_IRQ_COUNT 48

void NVIC_EnableIRQ(IRQn_Type irqn);
void NVIC_DisableIRQ(IRQn_Type irqn);
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority);
void NVIC_SetPendingIRQ(IRQn_Type irqn);
void NVIC_ClearPendingIRQ(IRQn_Type irqn);
uint32_t NVIC_GetPendingIRQ(IRQn_Type irqn);
[[noreturn]] void NVIC_SystemReset(void);

uint32_t __get_PRIMASK(void);
void __set_PRIMASK(uint32_t primask);
void __disable_irq(void);
void __enable_irq(void);
void __WFE(void);
void __WFI(void);
void __SEV(void);
void __DSB(void);
void __ISB(void);
void __NOP(void);
uint32_t __get_FPSCR(void);
void __set_FPSCR(uint32_t fpscr);

void SystemInit(void);

// A register whose writes the chip acts on.
struct nrf_reg_effect {
  void (*on_write)(uint32_t value);
  uint32_t (*on_read)(void);
  nrf_reg_effect &operator=(uint32_t value) {
    on_write(value);
    return *this;
  }
  operator uint32_t() const { return on_read(); }
};

// System control block: AIRCR takes the reset request (key 0x5FA in the top
// half, SYSRESETREQ bit 2, PRIGROUP bits 8 to 10 kept).
typedef struct {
  uint32_t CPUID;
  nrf_reg_effect AIRCR;
} SCB_Type;
extern SCB_Type nrf_scb;
#define SCB (&nrf_scb)
#define SCB_AIRCR_VECTKEY_Pos 16U
#define SCB_AIRCR_VECTKEY_Msk (0xFFFFUL << SCB_AIRCR_VECTKEY_Pos)
#define SCB_AIRCR_PRIGROUP_Pos 8U
#define SCB_AIRCR_PRIGROUP_Msk (7UL << SCB_AIRCR_PRIGROUP_Pos)
#define SCB_AIRCR_SYSRESETREQ_Pos 2U
#define SCB_AIRCR_SYSRESETREQ_Msk (1UL << SCB_AIRCR_SYSRESETREQ_Pos)

// POWER: the DC/DC enable, the USB supply status (bit 0 VBUSDETECT) and the
// retained register GPREGRET (kept through a reset).
typedef struct {
  uint32_t DCDCEN;
  nrf_reg_effect USBREGSTATUS;
  nrf_reg_effect GPREGRET;
} NRF_POWER_Type;
extern NRF_POWER_Type nrf_power;
#define NRF_POWER (&nrf_power)
#define POWER_USBREGSTATUS_VBUSDETECT_Msk 1UL

// CLOCK: start tasks and their started events.
typedef struct {
  nrf_reg_effect TASKS_HFCLKSTART;
  nrf_reg_effect TASKS_LFCLKSTART;
  uint32_t EVENTS_HFCLKSTARTED;
  uint32_t EVENTS_LFCLKSTARTED;
  uint32_t LFCLKSRC;
} NRF_CLOCK_Type;
extern NRF_CLOCK_Type nrf_clock;
#define NRF_CLOCK (&nrf_clock)
#define CLOCK_LFCLKSRC_SRC_Xtal 1UL

// The power register at offset 0xFFC of a serial peripheral (write 0 and 1
// power-cycles it).
typedef struct {
  uint32_t POWER;
} NRF_PERIPHERAL_POWER_Type;
extern NRF_PERIPHERAL_POWER_Type nrf_uarte0_power, nrf_uarte1_power, nrf_spi0_power, nrf_spi1_power,
    nrf_spi2_power;
#define NRF_UARTE0_POWER (&nrf_uarte0_power)
#define NRF_UARTE1_POWER (&nrf_uarte1_power)
#define NRF_SERIAL0_POWER (&nrf_spi0_power)
#define NRF_SERIAL1_POWER (&nrf_spi1_power)
#define NRF_SERIAL2_POWER (&nrf_spi2_power)

// GPIO port registers: the pin configurations (the nrf_gpio functions are
// the way to drive and read pins).
typedef struct {
  uint32_t PIN_CNF[32];
} NRF_GPIO_Type;
extern NRF_GPIO_Type nrf_p0, nrf_p1;
#define NRF_P0 (&nrf_p0)
#define NRF_P1 (&nrf_p1)

// FICR: the device identifier (64 bits) and the device address.
typedef struct {
  nrf_reg_effect DEVICEID[2];
  nrf_reg_effect DEVICEADDR[2];
} NRF_FICR_Type;
extern NRF_FICR_Type nrf_ficr;
#define NRF_FICR (&nrf_ficr)

#ifdef __cplusplus
}  // extern "C"
#endif
