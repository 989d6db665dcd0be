#include "fake_chip.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bootloader.h"

USART_TypeDef fake_usart2;
GPIO_TypeDef fake_gpioa;

namespace fake {

namespace {

struct OutOfTime {};

Chip g_chip;

void map_flash() {
  if (g_chip.flash) return;
  void* p = mmap(reinterpret_cast<void*>(kFlashBase), kFlashSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p != reinterpret_cast<void*>(kFlashBase)) {
    std::fprintf(stderr, "fake chip: cannot map flash at 0x%08x\n", kFlashBase);
    std::abort();
  }
  g_chip.flash = static_cast<uint8_t*>(p);
}

// One millisecond of chip time: the SysTick interrupt runs when enabled.
void advance_ms() {
  if (g_chip.hw_ms >= g_chip.deadline_ms) throw OutOfTime{};
  g_chip.hw_ms++;
  if (g_chip.tick_running) SysTick_Handler();
}

// Bytes take their time on the line: 10 bits at 115200 baud.
constexpr uint32_t kByteUs = 87;
uint32_t line_us = 0;
void line_byte() {
  line_us += kByteUs;
  while (line_us >= 1000) {
    line_us -= 1000;
    advance_ms();
  }
}

bool in_flash(uint32_t address, uint32_t len) {
  return address >= kFlashBase && len <= kFlashSize && address - kFlashBase <= kFlashSize - len;
}

// Whether cell `i` (a byte of an erase, a bit of a program) is reached by an
// operation cut at `part` of kCutParts: a spread of cells, not a prefix.
bool reached(uint32_t i, uint32_t part) { return ((i * 2654435761U) >> 13) % kCutParts < part; }

// Counts a flash operation on `page`; true when power is lost inside it.
bool cut_here(uint32_t page) {
  if (page < g_chip.cut_first_page || page > g_chip.cut_last_page) return false;
  if (++g_chip.cut_ops != g_chip.cut_at || g_chip.cut_done) return false;
  g_chip.cut_done = true;
  return true;
}

}  // namespace

Chip& chip() { return g_chip; }

void power_on() {
  map_flash();
  uint8_t* flash = g_chip.flash;
  g_chip = Chip{};
  g_chip.flash = flash;
  std::memset(flash, 0xFF, kFlashSize);
}

uint32_t flash_word(uint32_t address) {
  uint32_t v;
  std::memcpy(&v, g_chip.flash + (address - kFlashBase), 4);
  return v;
}

void flash_poke(uint32_t address, const void* data, size_t len) {
  std::memcpy(g_chip.flash + (address - kFlashBase), data, len);
}

void flash_poke_word(uint32_t address, uint32_t value) { flash_poke(address, &value, 4); }

Boot boot(uint32_t budget_ms) {
  // RAM starts again.
  running_state = RUNNING_STATE_COMMAND;
  packets_received = 0;
  packets_counted = 0;
  packets_received_bak = 0;
  ymodem_file_active = 0;
  huart2 = UART_HandleTypeDef{};
  JumpAddress = 0;
  JumpToApplication = nullptr;
  g_chip.hal_tick = 0;
  g_chip.tick_running = false;
  g_chip.uart_ready = false;
  g_chip.flash_locked = true;
  g_chip.tx.clear();
  g_chip.msp = 0;
  g_chip.deadline_ms = g_chip.hw_ms + budget_ms;

  Boot result{Outcome::OutOfTime};
  try {
    boot_main();
  } catch (const Reset&) {
    result.outcome = Outcome::Reset;
  } catch (const Jump& j) {
    result.outcome = Outcome::Jump;
    result.jump_address = j.address;
    result.msp = g_chip.msp;
  } catch (const OutOfTime&) {
    result.outcome = Outcome::OutOfTime;
  }
  result.output = g_chip.tx;
  return result;
}

}  // namespace fake

using fake::g_chip;

// ------------------------------------------------------------------ UART ---
HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart) {
  HAL_UART_MspInit(huart);
  huart->gState = HAL_UART_STATE_READY;
  g_chip.uart_ready = huart->Instance == USART2 && huart->Init.BaudRate == 115200U;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_DeInit(UART_HandleTypeDef* huart) {
  HAL_UART_MspDeInit(huart);
  huart->gState = HAL_UART_STATE_RESET;
  g_chip.uart_ready = false;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UARTEx_DisableFifoMode(UART_HandleTypeDef*) { return HAL_OK; }

HAL_StatusTypeDef HAL_UART_Receive(UART_HandleTypeDef*, uint8_t* data, uint16_t size,
                                   uint32_t timeout) {
  if (!g_chip.uart_ready) return HAL_ERROR;
  uint32_t start = g_chip.hal_tick;
  uint16_t got = 0;
  while (got < size) {
    int b = g_chip.peer ? g_chip.peer->to_chip(g_chip.hw_ms) : -1;
    if (b >= 0) {
      data[got++] = static_cast<uint8_t>(b);
      fake::line_byte();
      continue;
    }
    if (g_chip.hal_tick - start >= timeout) return HAL_TIMEOUT;
    fake::advance_ms();
  }
  return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef*, const uint8_t* data, uint16_t size,
                                    uint32_t) {
  if (!g_chip.uart_ready) return HAL_ERROR;
  for (uint16_t i = 0; i < size; ++i) {
    g_chip.tx.push_back(static_cast<char>(data[i]));
    if (g_chip.peer) g_chip.peer->from_chip(data[i], g_chip.hw_ms);
    fake::line_byte();
  }
  return HAL_OK;
}

int fake_uart_get_flag(UART_HandleTypeDef*, uint32_t flag) {
  return flag == UART_FLAG_ORE && g_chip.ore;
}
void fake_uart_clear_ore(UART_HandleTypeDef*) { g_chip.ore = false; }

// ----------------------------------------------------------------- flash ---
HAL_StatusTypeDef HAL_FLASH_Unlock(void) {
  g_chip.flash_locked = false;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Lock(void) {
  g_chip.flash_locked = true;
  return HAL_OK;
}

void fake_flash_clear_flags(uint32_t) {}

HAL_StatusTypeDef HAL_FLASH_Program(uint32_t type, uint32_t address, uint64_t data) {
  if (g_chip.flash_locked || type != FLASH_TYPEPROGRAM_DOUBLEWORD || address % 8 != 0 ||
      !fake::in_flash(address, 8)) {
    return HAL_ERROR;
  }
  uint8_t* cell = g_chip.flash + (address - fake::kFlashBase);
  for (int i = 0; i < 8; ++i) {
    if (cell[i] != 0xFF) return HAL_ERROR;  // only erased cells can be programmed
  }
  if (address == g_chip.fail_program_at) return HAL_ERROR;
  if (address == g_chip.corrupt_program_at) data ^= 1;
  if (fake::cut_here((address - fake::kFlashBase) / fake::kPageSize)) {
    uint64_t now = ~uint64_t{0};
    for (uint32_t bit = 0; bit < 64; ++bit) {
      if (fake::reached(bit, g_chip.cut_part)) now &= data | ~(uint64_t{1} << bit);
    }
    std::memcpy(cell, &now, 8);
    throw fake::Reset{};
  }
  std::memcpy(cell, &data, 8);
  g_chip.programmed_units++;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef* erase, uint32_t* page_error) {
  *page_error = 0xFFFFFFFFU;
  if (g_chip.flash_locked || erase->TypeErase != FLASH_TYPEERASE_PAGES ||
      erase->Page >= fake::kFlashSize / fake::kPageSize ||
      erase->NbPages > fake::kFlashSize / fake::kPageSize - erase->Page) {
    return HAL_ERROR;
  }
  if (g_chip.fail_erase) {
    *page_error = erase->Page;
    return HAL_ERROR;
  }
  for (uint32_t p = erase->Page; p < erase->Page + erase->NbPages; ++p) {
    if (fake::cut_here(p)) {
      uint8_t* page = g_chip.flash + p * fake::kPageSize;
      for (uint32_t i = 0; i < fake::kPageSize; ++i) {
        if (fake::reached(i, g_chip.cut_part)) page[i] = 0xFF;
      }
      throw fake::Reset{};
    }
    std::memset(g_chip.flash + p * fake::kPageSize, 0xFF, fake::kPageSize);
    g_chip.erase_log.push_back(p);
    g_chip.erased_pages++;
  }
  return HAL_OK;
}

// ------------------------------------------------------- clocks and GPIO ---
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef*) { return HAL_OK; }
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef*, uint32_t) { return HAL_OK; }
void fake_backup_reset(int force) {
  if (force) g_chip.backup_resets++;
}
void HAL_GPIO_Init(GPIO_TypeDef*, GPIO_InitTypeDef*) {}
void HAL_GPIO_DeInit(GPIO_TypeDef*, uint32_t) {}

// ------------------------------------------------------------ core, tick ---
HAL_StatusTypeDef HAL_Init(void) {
  g_chip.tick_running = true;
  return HAL_OK;
}
HAL_StatusTypeDef HAL_DeInit(void) { return HAL_OK; }
uint32_t HAL_GetTick(void) { return g_chip.hal_tick; }
void HAL_IncTick(void) { g_chip.hal_tick++; }
void HAL_SuspendTick(void) { g_chip.tick_running = false; }
void NVIC_SystemReset(void) { throw fake::Reset{}; }
void __set_MSP(uint32_t top) {
  g_chip.msp = top;
  if (top == fake::flash_word(APP_IMAGE_ADDR))
    throw fake::Jump{fake::flash_word(APP_IMAGE_ADDR + 4)};
}
void __disable_irq(void) {}
void __WFI(void) { fake::advance_ms(); }
