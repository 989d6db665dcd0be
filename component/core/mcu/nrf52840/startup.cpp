// Reset path, fault handlers and the fatal-error path of the nRF52840
// images.
#include "nrf52840_port.h"
#include "nrf_log.h"
#include "udrv_delay.h"

int main(void);

extern "C" {

// The reset handler. On the host the program loader has already copied the
// initialised data and cleared the zero-initialised area, and the C++
// runtime has run the static constructors, before the firmware starts.
void Reset_Handler(void) {
  SystemInit();
  main();
  for (;;) {
    __WFE();
  }
}

// A hard fault resets the MCU at once.
void HardFault_Handler(void) { port_reset(); }

void SysTick_Handler(void) {}

// The other faults, and interrupts no driver claims, stop here.
void NMI_Handler(void) {
  for (;;) {
    __WFE();
  }
}
void MemoryManagement_Handler(void) { NMI_Handler(); }
void BusFault_Handler(void) { NMI_Handler(); }
void UsageFault_Handler(void) { NMI_Handler(); }
void SVC_Handler(void) { NMI_Handler(); }
void DebugMon_Handler(void) { NMI_Handler(); }

}  // extern "C"

// System reset: the request with the key, the priority grouping kept.
void port_reset(void) {
  __DSB();
  SCB->AIRCR = (0x5FAu << SCB_AIRCR_VECTKEY_Pos) | (SCB->AIRCR & SCB_AIRCR_PRIGROUP_Msk) |
               SCB_AIRCR_SYSRESETREQ_Msk;
  __DSB();
  for (;;) {
    __WFE();
  }
}

void on_error(void) {
  nrf_log_panic();
  while (nrf_log_frontend_dequeue()) {
  }
  udrv_delay_ms(100);
  HardFault_Handler();
  for (;;) {
  }
}

void app_error_handler(ret_code_t, uint32_t line_num, const uint8_t *p_file_name) {
  NRF_LOG_ERROR("%s:%d", reinterpret_cast<const char *>(p_file_name), static_cast<int>(line_num));
  on_error();
}

void app_error_fault_handler(uint32_t id, uint32_t pc, uint32_t info) {
  NRF_LOG_ERROR("Got a fault! id: 0x%08x, pc: 0x%08x, info: 0x%08x", static_cast<unsigned>(id),
                static_cast<unsigned>(pc), static_cast<unsigned>(info));
  on_error();
}

void log_init(void) {
  ret_code_t ret = nrf_log_init(get_rtc_counter, 32768);
  if (ret != NRF_SUCCESS) {
#ifdef QIV_BOARD_VOSTREL
    app_error_handler_bare(ret);
#else
    app_error_handler(ret, 105, reinterpret_cast<const uint8_t *>(__FILE__));
#endif
  }
  nrf_log_default_backends_init();
}
