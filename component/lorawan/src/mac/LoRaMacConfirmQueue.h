/*!
 * \file LoRaMacConfirmQueue.h
 *
 * \brief The MLME requests whose confirms are owed: a ring of five, handed
 *        to the client in request order by the process step.
 */
#ifndef __LORAMAC_CONFIRMQUEUE_H__
#define __LORAMAC_CONFIRMQUEUE_H__

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMac.h"

/*! Capacity of the queue. */
#define LORA_MAC_MLME_CONFIRM_QUEUE_LEN 5

/*!
 * One owed confirm.
 */
typedef struct sMlmeConfirmQueue {
  Mlme_t Request;
  LoRaMacEventInfoStatus_t Status;
  //! The confirm may be delivered.
  bool ReadyToHandle;
  //! A status set for all elements (a TX or RX timeout) does not make it
  //! ready; only its own status does.
  bool RestrictCommonReadyToHandle;
} MlmeConfirmQueue_t;

/*! Empties the queue and keeps the primitives for LoRaMacConfirmQueueHandleCb. */
void LoRaMacConfirmQueueInit(LoRaMacPrimitives_t* primitives);

/*! Appends an element; false when the queue is full. */
bool LoRaMacConfirmQueueAdd(MlmeConfirmQueue_t* mlmeConfirm);

/*! Drops the oldest element; false when the queue is empty. */
bool LoRaMacConfirmQueueRemoveFirst(void);

/*! The oldest element of that request takes the status and becomes ready. */
void LoRaMacConfirmQueueSetStatus(LoRaMacEventInfoStatus_t status, Mlme_t request);

/*!
 * Every element takes the status; those not restricted also become ready.
 */
void LoRaMacConfirmQueueSetStatusCmn(LoRaMacEventInfoStatus_t status);

/*! Whether a request of that type is queued. */
bool LoRaMacConfirmQueueIsCmdActive(Mlme_t request);

/*!
 * Delivers the ready elements through MacMlmeConfirm, in order, with
 * `mlmeConfirm` carrying each one's request and status; elements that are
 * not ready stay queued in their order.
 */
void LoRaMacConfirmQueueHandleCb(MlmeConfirm_t* mlmeConfirm);

uint8_t LoRaMacConfirmQueueGetCnt(void);

bool LoRaMacConfirmQueueIsFull(void);

#endif  // __LORAMAC_CONFIRMQUEUE_H__
