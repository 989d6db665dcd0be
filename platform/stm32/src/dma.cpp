// DMA1 channels as UART receive channels.
#include "internal.h"
#include "sim/model.h"

extern "C" {
DMA_Channel_TypeDef stm32_dma1_channels[7] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}};
}

namespace stm32sim {
namespace detail {
namespace {

constexpr uint32_t kTc = 1u;
constexpr uint32_t kHt = 2u;

struct Channel {
  DMA_HandleTypeDef* handle = nullptr;
  bool active = false;
  uint8_t* buffer = nullptr;
  uint16_t size = 0;
  uint16_t remaining = 0;
  uint16_t pos = 0;
  bool circular = false;
  uint32_t flags = 0;
  uint32_t it = 0;
};

Channel channels[7];

Channel* channel_of(const DMA_HandleTypeDef* h) {
  if (!h || !h->Instance || h->Instance->index >= 7) return nullptr;
  return &channels[h->Instance->index];
}

void raise(const DMA_HandleTypeDef* h) {
  sim::irq_set_pending(sim_irq(DMA1_Channel1_IRQn + h->Instance->index));
}

}  // namespace

void dma_reset() {
  for (auto& c : channels) c = Channel{};
}

bool dma_rx_active(DMA_HandleTypeDef* hdma) {
  Channel* c = channel_of(hdma);
  return c && c->active;
}

void dma_rx_start(DMA_HandleTypeDef* hdma, uint8_t* buffer, uint16_t size) {
  Channel* c = channel_of(hdma);
  if (!c) return;
  c->active = true;
  c->buffer = buffer;
  c->size = size;
  c->remaining = size;
  c->pos = 0;
  c->circular = hdma->Init.Mode == DMA_CIRCULAR;
  c->flags = 0;
  c->it = kTc | kHt;
  hdma->State = HAL_DMA_STATE_BUSY;
}

bool dma_rx_put(DMA_HandleTypeDef* hdma, uint8_t byte) {
  Channel* c = channel_of(hdma);
  if (!c || !c->active || c->remaining == 0) return false;
  c->buffer[c->pos++] = byte;
  --c->remaining;
  if (c->pos == c->size / 2) {
    c->flags |= kHt;
    if (c->it & kHt) raise(hdma);
  }
  if (c->remaining == 0) {
    c->flags |= kTc;
    if (c->circular) {
      c->pos = 0;
      c->remaining = c->size;
    } else {
      c->active = false;
    }
    if (c->it & kTc) raise(hdma);
  }
  return true;
}

void dma_rx_stop(DMA_HandleTypeDef* hdma) {
  Channel* c = channel_of(hdma);
  if (!c) return;
  c->active = false;
  c->it = 0;
  c->flags = 0;
  if (hdma->State == HAL_DMA_STATE_BUSY) hdma->State = HAL_DMA_STATE_READY;
}

}  // namespace detail
}  // namespace stm32sim

using namespace stm32sim::detail;

extern "C" {

HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma) {
  Channel* c = channel_of(hdma);
  if (!c) return HAL_ERROR;
  *c = Channel{};
  c->handle = hdma;
  hdma->State = HAL_DMA_STATE_READY;
  hdma->ErrorCode = 0;
  hdma->Lock = HAL_UNLOCKED;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DMA_DeInit(DMA_HandleTypeDef* hdma) {
  Channel* c = channel_of(hdma);
  if (!c) return HAL_ERROR;
  *c = Channel{};
  hdma->State = HAL_DMA_STATE_RESET;
  hdma->XferCpltCallback = nullptr;
  hdma->XferHalfCpltCallback = nullptr;
  hdma->XferErrorCallback = nullptr;
  hdma->XferAbortCallback = nullptr;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma) {
  if (!channel_of(hdma)) return HAL_ERROR;
  dma_rx_stop(hdma);
  return HAL_OK;
}

void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma) {
  Channel* c = channel_of(hdma);
  if (!c) return;
  if ((c->flags & kHt) && (c->it & kHt)) {
    c->flags &= ~kHt;
    if (!c->circular) c->it &= ~kHt;
    if (hdma->XferHalfCpltCallback) hdma->XferHalfCpltCallback(hdma);
  }
  if ((c->flags & kTc) && (c->it & kTc)) {
    c->flags &= ~kTc;
    if (!c->circular) {
      c->it = 0;
      hdma->State = HAL_DMA_STATE_READY;
    }
    if (hdma->XferCpltCallback) hdma->XferCpltCallback(hdma);
  }
}

uint32_t stm32_dma_remaining(const DMA_HandleTypeDef* hdma) {
  const Channel* c = channel_of(hdma);
  return c ? c->remaining : 0;
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_dma, {.name = "stm32.dma", .on_reset = stm32sim::detail::dma_reset});
