/*!
 * \file LoRaMacCommands.cpp
 *
 * \brief The command list of the next uplink.
 */
#include "LoRaMacCommands.h"

#include <string.h>

const uint8_t LoRaMacMaxEirpTable[16] = {8,  10, 12, 13, 14, 16, 18, 20,
                                         21, 24, 26, 27, 29, 30, 33, 36};

namespace {

struct MacCommandsList {
  MacCommand_t* First;
  MacCommand_t* Last;
};

struct LoRaMacCommandsCtx {
  MacCommandsList MacCommandList;
  MacCommand_t MacCommandSlots[NUM_OF_MAC_COMMANDS];
  size_t SerializedCmdsSize;
};

LoRaMacCommandsCtx CommandsCtx;

// Network command sizes, CID included, indexed by CID - 1.
constexpr uint8_t CmdSizes[32] = {
    2, 3, 5, 2, 5, 1, 6, 2, 2, 5, 2, 2, 6, 3, 2, 1, 5, 4, 4,  // 1 to 19
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                       // 20 to 31
    2,                                                        // 32
};

bool IsSlotFree(const MacCommand_t* slot) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(slot);
  for (size_t i = 0; i < sizeof(*slot); i++) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

MacCommand_t* FreeSlot() {
  for (MacCommand_t& slot : CommandsCtx.MacCommandSlots) {
    if (IsSlotFree(&slot)) {
      return &slot;
    }
  }
  return nullptr;
}

bool IsSticky(uint8_t cid) {
  switch (cid) {
    case MOTE_MAC_RESET_IND:
    case MOTE_MAC_RX_PARAM_SETUP_ANS:
    case MOTE_MAC_RX_TIMING_SETUP_ANS:
    case MOTE_MAC_TX_PARAM_SETUP_ANS:
    case MOTE_MAC_DL_CHANNEL_ANS:
    case MOTE_MAC_REKEY_IND:
    case MOTE_MAC_PING_SLOT_CHANNEL_ANS:
    case MOTE_MAC_DEVICE_MODE_IND:
      return true;
    default:
      return false;
  }
}

bool IsConfirmationRequired(uint8_t cid) {
  return cid == MOTE_MAC_RESET_IND || cid == MOTE_MAC_REKEY_IND || cid == MOTE_MAC_DEVICE_MODE_IND;
}

// Whether the slot is one of the list's (a foreign pointer is refused).
bool IsListed(const MacCommand_t* macCmd) {
  for (const MacCommand_t* cur = CommandsCtx.MacCommandList.First; cur != nullptr;
       cur = cur->Next) {
    if (cur == macCmd) {
      return true;
    }
  }
  return false;
}

}  // namespace

LoRaMacCommandStatus_t LoRaMacCommandsInit(void) {
  memset(&CommandsCtx, 0, sizeof(CommandsCtx));
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsAddCmd(uint8_t cid, uint8_t* payload, size_t payloadSize) {
  if (payload == nullptr) {
    return LORAMAC_COMMANDS_ERROR_NPE;
  }
  if (payloadSize > LORAMAC_COMMADS_MAX_NUM_OF_PARAMS) {
    return LORAMAC_COMMANDS_ERROR;
  }
  MacCommand_t* slot = FreeSlot();
  if (slot == nullptr) {
    return LORAMAC_COMMANDS_ERROR_MEMORY;
  }

  slot->Next = nullptr;
  slot->CID = cid;
  slot->PayloadSize = payloadSize;
  memcpy(slot->Payload, payload, payloadSize);
  slot->IsSticky = IsSticky(cid);
  slot->IsConfirmationRequired = IsConfirmationRequired(cid);

  MacCommandsList& list = CommandsCtx.MacCommandList;
  if (list.First == nullptr) {
    list.First = slot;
  } else {
    list.Last->Next = slot;
  }
  list.Last = slot;
  CommandsCtx.SerializedCmdsSize += 1 + payloadSize;
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsRemoveCmd(MacCommand_t* macCmd) {
  if (macCmd == nullptr) {
    return LORAMAC_COMMANDS_ERROR_NPE;
  }
  if (!IsListed(macCmd)) {
    return LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND;
  }

  MacCommandsList& list = CommandsCtx.MacCommandList;
  MacCommand_t* prev = nullptr;
  if (list.First == macCmd) {
    list.First = macCmd->Next;
  } else {
    prev = list.First;
    while (prev->Next != macCmd) {
      prev = prev->Next;
    }
    prev->Next = macCmd->Next;
  }
  if (list.Last == macCmd) {
    list.Last = prev;
  }

  CommandsCtx.SerializedCmdsSize -= 1 + macCmd->PayloadSize;
  memset(macCmd, 0, sizeof(*macCmd));
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsGetCmd(uint8_t cid, MacCommand_t** macCmd) {
  if (macCmd == nullptr) {
    return LORAMAC_COMMANDS_ERROR_NPE;
  }
  for (MacCommand_t* cur = CommandsCtx.MacCommandList.First; cur != nullptr; cur = cur->Next) {
    if (cur->CID == cid) {
      *macCmd = cur;
      return LORAMAC_COMMANDS_SUCCESS;
    }
  }
  *macCmd = nullptr;
  return LORAMAC_COMMANDS_ERROR_CMD_NOT_FOUND;
}

LoRaMacCommandStatus_t LoRaMacCommandsRemoveNoneStickyCmds(void) {
  MacCommand_t* cur = CommandsCtx.MacCommandList.First;
  while (cur != nullptr) {
    MacCommand_t* next = cur->Next;
    if (!cur->IsSticky) {
      LoRaMacCommandsRemoveCmd(cur);
    }
    cur = next;
  }
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsRemoveStickyAnsCmds(void) {
  MacCommand_t* cur = CommandsCtx.MacCommandList.First;
  while (cur != nullptr) {
    MacCommand_t* next = cur->Next;
    if (cur->IsSticky && !cur->IsConfirmationRequired) {
      LoRaMacCommandsRemoveCmd(cur);
    }
    cur = next;
  }
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsGetSizeSerializedCmds(size_t* size) {
  if (size == nullptr) {
    return LORAMAC_COMMANDS_ERROR_NPE;
  }
  *size = CommandsCtx.SerializedCmdsSize;
  return LORAMAC_COMMANDS_SUCCESS;
}

LoRaMacCommandStatus_t LoRaMacCommandsSerializeCmds(size_t availableSize, size_t* effectiveSize,
                                                    uint8_t* buffer) {
  if (effectiveSize == nullptr || buffer == nullptr) {
    return LORAMAC_COMMANDS_ERROR_NPE;
  }

  size_t written = 0;
  MacCommand_t* cur = CommandsCtx.MacCommandList.First;
  while (cur != nullptr) {
    size_t cmdSize = 1 + cur->PayloadSize;
    if (written + cmdSize > availableSize) {
      break;
    }
    buffer[written++] = cur->CID;
    memcpy(&buffer[written], cur->Payload, cur->PayloadSize);
    written += cur->PayloadSize;
    cur = cur->Next;
  }

  // What did not fit goes, the first command that did not fit and all
  // after it.
  while (cur != nullptr) {
    MacCommand_t* next = cur->Next;
    LoRaMacCommandsRemoveCmd(cur);
    cur = next;
  }

  *effectiveSize = CommandsCtx.SerializedCmdsSize;
  return LORAMAC_COMMANDS_SUCCESS;
}

uint8_t LoRaMacCommandsGetCmdSize(uint8_t cid) {
  if (cid == 0 || cid > sizeof(CmdSizes)) {
    return 0;
  }
  return CmdSizes[cid - 1];
}
