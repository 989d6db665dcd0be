/*!
 * \file LoRaMacCommands.h
 *
 * \brief The MAC commands the device sends with its next uplink: answers to
 *        the network and its own requests, in 32 fixed slots kept as a list
 *        in insertion order.
 */
#ifndef __LORAMAC_COMMANDS_H__
#define __LORAMAC_COMMANDS_H__

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/*! Largest payload of a device command (CID excluded). */
#define LORAMAC_COMMADS_MAX_NUM_OF_PARAMS 2
/*! Slots of the command list. */
#define NUM_OF_MAC_COMMANDS 32

/*!
 * Commands the device sends.
 */
typedef enum eLoRaMacMoteCmd {
  MOTE_MAC_RESET_IND = 0x01,
  MOTE_MAC_LINK_CHECK_REQ = 0x02,
  MOTE_MAC_LINK_ADR_ANS = 0x03,
  MOTE_MAC_DUTY_CYCLE_ANS = 0x04,
  MOTE_MAC_RX_PARAM_SETUP_ANS = 0x05,
  MOTE_MAC_DEV_STATUS_ANS = 0x06,
  MOTE_MAC_NEW_CHANNEL_ANS = 0x07,
  MOTE_MAC_RX_TIMING_SETUP_ANS = 0x08,
  MOTE_MAC_TX_PARAM_SETUP_ANS = 0x09,
  MOTE_MAC_DL_CHANNEL_ANS = 0x0A,
  MOTE_MAC_REKEY_IND = 0x0B,
  MOTE_MAC_ADR_PARAM_SETUP_ANS = 0x0C,
  MOTE_MAC_DEVICE_TIME_REQ = 0x0D,
  MOTE_MAC_REJOIN_PARAM_ANS = 0x0F,
  MOTE_MAC_PING_SLOT_INFO_REQ = 0x10,
  MOTE_MAC_PING_SLOT_CHANNEL_ANS = 0x11,
  MOTE_MAC_BEACON_TIMING_REQ = 0x12,
  MOTE_MAC_BEACON_FREQ_ANS = 0x13,
  MOTE_MAC_DEVICE_MODE_IND = 0x20,
} LoRaMacMoteCmd_t;

/*!
 * Commands the network sends.
 */
typedef enum eLoRaMacSrvCmd {
  SRV_MAC_RESET_CONF = 0x01,
  SRV_MAC_LINK_CHECK_ANS = 0x02,
  SRV_MAC_LINK_ADR_REQ = 0x03,
  SRV_MAC_DUTY_CYCLE_REQ = 0x04,
  SRV_MAC_RX_PARAM_SETUP_REQ = 0x05,
  SRV_MAC_DEV_STATUS_REQ = 0x06,
  SRV_MAC_NEW_CHANNEL_REQ = 0x07,
  SRV_MAC_RX_TIMING_SETUP_REQ = 0x08,
  SRV_MAC_TX_PARAM_SETUP_REQ = 0x09,
  SRV_MAC_DL_CHANNEL_REQ = 0x0A,
  SRV_MAC_REKEY_CONF = 0x0B,
  SRV_MAC_ADR_PARAM_SETUP_REQ = 0x0C,
  SRV_MAC_DEVICE_TIME_ANS = 0x0D,
  SRV_MAC_FORCE_REJOIN_REQ = 0x0E,
  SRV_MAC_REJOIN_PARAM_REQ = 0x0F,
  SRV_MAC_PING_SLOT_INFO_ANS = 0x10,
  SRV_MAC_PING_SLOT_CHANNEL_REQ = 0x11,
  SRV_MAC_BEACON_TIMING_ANS = 0x12,
  SRV_MAC_BEACON_FREQ_REQ = 0x13,
  SRV_MAC_DEVICE_MODE_CONF = 0x20,
} LoRaMacSrvCmd_t;

/*!
 * Maximum EIRP in dBm by the index a TxParamSetupReq carries (0 to 15).
 */
extern const uint8_t LoRaMacMaxEirpTable[16];

/*!
 * One slot of the list. A slot is free when all its bytes are zero.
 */
typedef struct sMacCommand {
  struct sMacCommand* Next;
  uint8_t CID;
  uint8_t Payload[LORAMAC_COMMADS_MAX_NUM_OF_PARAMS];
  size_t PayloadSize;
  //! Repeated in every uplink until a downlink shows it arrived.
  bool IsSticky;
  //! Removed only by the network's confirmation command.
  bool IsConfirmationRequired;
} MacCommand_t;

typedef enum eLoRaMacCommandsStatus {
  LORAMAC_COMMANDS_SUCCESS = 0,
  LORAMAC_COMMANDS_ERROR_NPE = 1,
  LORAMAC_COMMANDS_ERROR_MEMORY = 2,
  LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND = 3,
  LORAMAC_COMMANDS_ERROR_UNKNOWN_CMD = 4,
  LORAMAC_COMMANDS_ERROR = 5,
} LoRaMacCommandStatus_t;

/*! Empties the list. */
LoRaMacCommandStatus_t LoRaMacCommandsInit(void);

/*!
 * Appends a command. ERROR_NPE for a null payload, ERROR for a payload
 * longer than a slot holds, ERROR_MEMORY when every slot is taken.
 * Duplicates are not detected.
 */
LoRaMacCommandStatus_t LoRaMacCommandsAddCmd(uint8_t cid, uint8_t* payload, size_t payloadSize);

/*! Unlinks a command of the list and frees its slot. */
LoRaMacCommandStatus_t LoRaMacCommandsRemoveCmd(MacCommand_t* macCmd);

/*!
 * The first command of the list with that CID; ERROR_CMD_NOT_FOUND (and
 * null) when there is none.
 */
LoRaMacCommandStatus_t LoRaMacCommandsGetCmd(uint8_t cid, MacCommand_t** macCmd);

/*! Removes every command that is not sticky (after an uplink carried them). */
LoRaMacCommandStatus_t LoRaMacCommandsRemoveNoneStickyCmds(void);

/*!
 * Removes the sticky answers, keeping the indications that wait for the
 * network's confirmation (after a downlink showed the uplink arrived).
 */
LoRaMacCommandStatus_t LoRaMacCommandsRemoveStickyAnsCmds(void);

/*! Bytes the list takes serialized (CID plus payload per command). */
LoRaMacCommandStatus_t LoRaMacCommandsGetSizeSerializedCmds(size_t* size);

/*!
 * Writes the commands in list order into `buffer`. At the first command that
 * does not fit into what is left of `availableSize`, that command and all
 * after it are removed from the list. `effectiveSize` is what remains in
 * the list, which is what was written.
 */
LoRaMacCommandStatus_t LoRaMacCommandsSerializeCmds(size_t availableSize, size_t* effectiveSize,
                                                    uint8_t* buffer);

/*!
 * Size of a network command, CID included; 0 for a CID the device does not
 * know.
 */
uint8_t LoRaMacCommandsGetCmdSize(uint8_t cid);

#endif  // __LORAMAC_COMMANDS_H__
