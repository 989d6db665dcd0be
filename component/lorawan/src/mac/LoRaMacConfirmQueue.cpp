/*!
 * \file LoRaMacConfirmQueue.cpp
 *
 * \brief The ring of owed MLME confirms.
 */
#include "LoRaMacConfirmQueue.h"

#include <string.h>

namespace {

struct LoRaMacConfirmQueueNvm {
  MlmeConfirmQueue_t MlmeConfirmQueue[LORA_MAC_MLME_CONFIRM_QUEUE_LEN];
  uint8_t MlmeConfirmQueueCnt;
  LoRaMacEventInfoStatus_t CommonStatus;
};

struct LoRaMacConfirmQueueCtx {
  LoRaMacPrimitives_t* Primitives;
  MlmeConfirmQueue_t* BufferStart;
  MlmeConfirmQueue_t* BufferEnd;
  LoRaMacConfirmQueueNvm Nvm;
};

LoRaMacConfirmQueueCtx ConfirmQueueCtx;

MlmeConfirmQueue_t* Next(MlmeConfirmQueue_t* element) {
  MlmeConfirmQueue_t* queue = ConfirmQueueCtx.Nvm.MlmeConfirmQueue;
  return (element < &queue[LORA_MAC_MLME_CONFIRM_QUEUE_LEN - 1]) ? element + 1 : queue;
}

MlmeConfirmQueue_t* GetElement(Mlme_t request) {
  MlmeConfirmQueue_t* element = ConfirmQueueCtx.BufferStart;
  for (uint8_t i = 0; i < ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt; i++) {
    if (element->Request == request) {
      return element;
    }
    element = Next(element);
  }
  return nullptr;
}

}  // namespace

void LoRaMacConfirmQueueInit(LoRaMacPrimitives_t* primitives) {
  ConfirmQueueCtx.Primitives = primitives;
  ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt = 0;
  ConfirmQueueCtx.BufferStart = ConfirmQueueCtx.Nvm.MlmeConfirmQueue;
  ConfirmQueueCtx.BufferEnd = ConfirmQueueCtx.Nvm.MlmeConfirmQueue;
  memset(ConfirmQueueCtx.Nvm.MlmeConfirmQueue, 0xFF, sizeof(ConfirmQueueCtx.Nvm.MlmeConfirmQueue));
  ConfirmQueueCtx.Nvm.CommonStatus = LORAMAC_EVENT_INFO_STATUS_ERROR;
}

bool LoRaMacConfirmQueueAdd(MlmeConfirmQueue_t* mlmeConfirm) {
  if (mlmeConfirm == nullptr ||
      ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt >= LORA_MAC_MLME_CONFIRM_QUEUE_LEN) {
    return false;
  }
  MlmeConfirmQueue_t* end = ConfirmQueueCtx.BufferEnd;
  end->Request = mlmeConfirm->Request;
  end->Status = mlmeConfirm->Status;
  end->ReadyToHandle = mlmeConfirm->ReadyToHandle;
  end->RestrictCommonReadyToHandle = mlmeConfirm->RestrictCommonReadyToHandle;
  ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt++;
  ConfirmQueueCtx.BufferEnd = Next(end);
  return true;
}

bool LoRaMacConfirmQueueRemoveFirst(void) {
  if (ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt == 0) {
    return false;
  }
  ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt--;
  ConfirmQueueCtx.BufferStart = Next(ConfirmQueueCtx.BufferStart);
  return true;
}

void LoRaMacConfirmQueueSetStatus(LoRaMacEventInfoStatus_t status, Mlme_t request) {
  MlmeConfirmQueue_t* element = GetElement(request);
  if (element != nullptr) {
    element->Status = status;
    element->ReadyToHandle = true;
  }
}

void LoRaMacConfirmQueueSetStatusCmn(LoRaMacEventInfoStatus_t status) {
  ConfirmQueueCtx.Nvm.CommonStatus = status;
  MlmeConfirmQueue_t* element = ConfirmQueueCtx.BufferStart;
  for (uint8_t i = 0; i < ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt; i++) {
    element->Status = status;
    if (!element->RestrictCommonReadyToHandle) {
      element->ReadyToHandle = true;
    }
    element = Next(element);
  }
}

bool LoRaMacConfirmQueueIsCmdActive(Mlme_t request) { return GetElement(request) != nullptr; }

void LoRaMacConfirmQueueHandleCb(MlmeConfirm_t* mlmeConfirm) {
  if (mlmeConfirm == nullptr) {
    return;
  }
  uint8_t rounds = ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt;
  for (uint8_t i = 0; i < rounds; i++) {
    // Copied out first: the client may queue a new request from its
    // confirm, which can reuse the slot.
    MlmeConfirmQueue_t first = *ConfirmQueueCtx.BufferStart;
    mlmeConfirm->MlmeRequest = first.Request;
    mlmeConfirm->Status = first.Status;
    if (first.ReadyToHandle && ConfirmQueueCtx.Primitives != nullptr &&
        ConfirmQueueCtx.Primitives->MacMlmeConfirm != nullptr) {
      ConfirmQueueCtx.Primitives->MacMlmeConfirm(mlmeConfirm);
    }
    LoRaMacConfirmQueueRemoveFirst();
    if (!first.ReadyToHandle) {
      MlmeConfirmQueue_t again = {first.Request, first.Status, false,
                                  first.RestrictCommonReadyToHandle};
      LoRaMacConfirmQueueAdd(&again);
    }
  }
}

uint8_t LoRaMacConfirmQueueGetCnt(void) { return ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt; }

bool LoRaMacConfirmQueueIsFull(void) {
  return ConfirmQueueCtx.Nvm.MlmeConfirmQueueCnt >= LORA_MAC_MLME_CONFIRM_QUEUE_LEN;
}
