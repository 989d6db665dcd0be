// The STM32WLE5 port: the uhal_ operations the driver layer binds, the
// interrupt handlers, the RTC timer adapter and the start-up of the images.
#pragma once

#include <stdint.h>

#include "qiv_products.h"
#include "stm32wl_hal.h"
#include "udrv_delay.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"
#include "util_systime.h"
#include "util_timer.h"

// ---------------------------------------------------------------- start-up --
#define QIV_APP_VECTOR_TABLE QIV_STM32WLE5_APPLICATION_ADDR
#define QIV_APP_INITIAL_SP 0x2000FC00UL

extern "C" void Reset_Handler(void);
void SystemClock_Config(void);
// A vendor-HAL initialisation failed: the MCU resets.
[[noreturn]] void Error_Handler(void);
void qiv_init(void);
// Start-up steps of main: the AT command table back to its load image, and
// the line "Current Work Mode: " with the stored work mode.
void restore_atcmd_table(void);
void print_work_mode(void);
// Rows of the board's battery table.
uint32_t get_batt_table_size(void);

// Interrupt handlers (vector table entries).
extern "C" {
void SysTick_Handler(void);
void RTC_Alarm_IRQHandler(void);
void TAMP_STAMP_LSECSS_SSRU_IRQHandler(void);
void SUBGHZ_Radio_IRQHandler(void);
void DMA1_Channel1_IRQHandler(void);
void DMA1_Channel2_IRQHandler(void);
void DMA1_Channel3_IRQHandler(void);
void DMA1_Channel4_IRQHandler(void);
void USART1_IRQHandler(void);
void USART2_IRQHandler(void);
void LPUART1_IRQHandler(void);
void EXTI0_IRQHandler(void);
void EXTI1_IRQHandler(void);
void EXTI2_IRQHandler(void);
void EXTI3_IRQHandler(void);
void EXTI4_IRQHandler(void);
void EXTI9_5_IRQHandler(void);
void EXTI15_10_IRQHandler(void);
void I2C2_EV_IRQHandler(void);
void I2C2_ER_IRQHandler(void);
void AES_IRQHandler(void);
}

// ------------------------------------------------------------ serial ports --
#define UART_DMA_BUFFER_SIZE 128
// The AT port's circular DMA buffer outlasts a flash page erase, during which
// the core stalls and only the DMA takes bytes (up to 24.5 ms: 282 bytes at
// 115200 baud), from any point of the buffer: the half and full marks keep
// less than half of it unread.
#define LPUART_DMA_BUFFER_SIZE 1024
// Each port's queue holds what comes while the main loop is busy with a
// settings write (a page erase and the page's programming, some 45 ms: about
// 520 bytes at 115200 baud) on top of what the DMA still held.
#define UART_RX_QUEUE_SIZE 1024
// Text an interrupt handler prints while the main line is itself writing to
// the port waits in a queue of this size: room for the longest event line (a
// received frame of 255 bytes in hex, with its prefix) and a reply besides.
#define UART_TX_BACKLOG_SIZE 640

typedef struct {
  bool active;
  uint32_t baudrate;
  SERIAL_WORD_LEN_E dataBits;
  SERIAL_STOP_BIT_E stopBits;
  SERIAL_PARITY_E parity;
} uhal_uart_status_t;

typedef enum : uint8_t {
  SERIAL_UART_TX_DONE = 0,
  SERIAL_UART_RX_DONE = 1,
  SERIAL_UART_ERROR = 2,
} SERIAL_UART_EVT;

extern uhal_uart_status_t uhal_uart_status[3];
extern SERIAL_WIRE_MODE_E uart_wire_mode[3];
extern volatile char LpuartDMAdoing;
extern udrv_system_event_t qiv_uart_event;
// Optional hook for one-wire users; nothing registers it.
extern void (*ONEWIRE_HANDLER)(SERIAL_PORT port, SERIAL_UART_EVT event);

extern UART_HandleTypeDef huart1;
extern UART_HandleTypeDef hlpuart1;
extern DMA_HandleTypeDef hdma_usart1_rx;
extern DMA_HandleTypeDef hdma_lpuart1_rx;

void uhal_uart_init(SERIAL_PORT port, uint32_t baudrate, SERIAL_WORD_LEN_E datalen,
                    SERIAL_STOP_BIT_E stop, SERIAL_PARITY_E parity, SERIAL_WIRE_MODE_E wire_mode);
void uhal_uart_deinit(SERIAL_PORT port);
int32_t uhal_uart_write(SERIAL_PORT port, uint8_t const *buffer, uint32_t len, uint32_t timeout);
int32_t uhal_uart_read(SERIAL_PORT port, uint8_t *buffer, uint32_t len, uint32_t timeout);
int32_t uhal_uart_peek(SERIAL_PORT port);
int32_t uhal_uart_read_available(SERIAL_PORT port);
void uhal_uart_flush(SERIAL_PORT port, uint32_t timeout);
// The idle-line path of a UART (from its interrupt handler).
void USAR_UART_IDLECallback(UART_HandleTypeDef *huart);

// ------------------------------------------------------ RTC timer adapter --
#define RTC_TICKS_PER_SECOND 32768U
#define RTC_WRAP_SECONDS 131072U  // 2^32 ticks

extern RTC_HandleTypeDef hrtc;
extern uint32_t RtcTimerContext;
extern bool RTC_Initialized;

UTIL_TIMER_Status_t TIMER_IF_Init(void);
UTIL_TIMER_Status_t TIMER_IF_StartTimer(uint32_t timeout);
UTIL_TIMER_Status_t TIMER_IF_StopTimer(void);
uint32_t TIMER_IF_SetTimerContext(void);
uint32_t TIMER_IF_GetTimerContext(void);
uint32_t TIMER_IF_GetTimerElapsedTime(void);
uint32_t TIMER_IF_GetTimerValue(void);
uint32_t TIMER_IF_GetMinimumTimeout(void);
uint32_t TIMER_IF_Convert_ms2Tick(uint32_t time_ms);
uint32_t TIMER_IF_Convert_Tick2ms(uint32_t tick);
uint32_t TIMER_IF_GetTime(uint16_t *mSeconds);
void TIMER_IF_BkUp_Write_Seconds(uint32_t seconds);
uint32_t TIMER_IF_BkUp_Read_Seconds(void);
void TIMER_IF_BkUp_Write_SubSeconds(uint32_t sub_seconds);
uint32_t TIMER_IF_BkUp_Read_SubSeconds(void);

// RTC set-up (the timer server's first initialisation calls it).
void uhal_rtc_init(void);

// Driver-layer timers: the user timers (through timer_driver) and the system
// timers. The record of a timer is the context of its expiry event.
typedef struct {
  uint32_t timer_id;
  void *m_data;              // the user's context, cleared by stop
  timer_handler timer_func;  // the user's handler
  uint32_t expiries;         // expiry events posted and not yet handled
} uhal_timer_data;

void uhal_timer_init(void);
int32_t uhal_timer_create(TimerID_E timer_id, timer_handler tmr_handler, TimerMode_E mode);
int32_t uhal_timer_start(TimerID_E timer_id, uint32_t count, void *m_data);
int32_t uhal_timer_stop(TimerID_E timer_id);

// ------------------------------------------------------------- power save --
extern UTIL_TIMER_Object_t uhal_ps_timer_id;
void uhal_mcu_sleep(uint8_t level);
void uhal_sys_clock_init(void);
void uhal_sys_clock_on(void);
void uhal_sys_clock_off(void);

// ------------------------------------------------------ bootloader contract --
#define QIV_BOOT_FLAG_ADDR QIV_STM32WLE5_BOOT_FLAGS_ADDR
#define QIV_BOOT_VERSION_ADDR QIV_STM32WLE5_BOOT_VERSION_ADDR
