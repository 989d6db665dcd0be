// The object family under `api`: the user program's way to the system's
// services, grouped by subject. The objects hold almost no state and forward
// to the services and the driver layer.
//
// The version, model and chip texts are read when they are asked for (get()):
// the configuration record is loaded after `api` is built, so a text read at
// construction would miss it. The constant texts are filled at construction.
#pragma once

#include <stdint.h>

#include "api_string.h"
#include "service_mode_cli.h"

#ifdef QIV_LORA_SERVICES_LINKED
#include "service_lora_lorawan.h"
#endif
#ifdef QIV_LORA_P2P_LINKED
#include "service_lora_p2p.h"
#endif

class ZEMSystem {
 public:
  // Restarts the MCU; does not return.
  void reboot();

  class sleep {
   public:
    // Puts the whole module to sleep for ms_time ms (0: until a wake
    // source ends it); false when the sleep was refused.
    bool all(uint32_t ms_time = 0);
  } sleep;

  // Automatic sleep of the main loop: 0 off, 1 on.
  class lpm {
   public:
    uint8_t get();
    bool set(uint8_t value);
  } lpm;

  // Depth of the automatic sleep: 1 or 2.
  class lpmlvl {
   public:
    uint8_t get();
    bool set(uint8_t level);
  } lpmlvl;

  class wdt {
  } wdt;

  // The stored firmware version text (at most 32 characters).
  class firmwareVersion {
   public:
    String ver;
    const String &get();
  } firmwareVer, firmwareVersion;

  // The stored AT command-set version text.
  class cliVersion {
   public:
    String ver;
    const String &get();
  } cliVer, cliVersion;

  class apiVersion {
   public:
    apiVersion();
    String ver;
    const String &get();
  } apiVersion;

  // The stored hardware model text.
  class modelId {
   public:
    String id;
    const String &get();
  } hwModel, modelId;

  // The MCU's name.
  class chipId {
   public:
    chipId();
    String id;
    const String &get();
  } chipId;

  // The serial ports' lock and its password (1 to 8 printable characters).
  class pword {
   public:
    bool set(const String &passwd);
    // Locks every open port; the password unlocks them.
    bool lock();
    bool unlock();
  } pword;

  class bat {
   public:
    // The battery voltage in volts; 0 when the converter could not be
    // read.
    float get();
  } bat;

  class atMode {
#ifdef QIV_BOARD_VOSTREL
   public:
    // Registers a user AT command (typed as "ATC+" and the name), with up to
    // 255 arguments; true when it found a free row.
    bool add(const char *cmd, const char *usage, const char *title, PF_handle handle,
             unsigned int perm);
#endif
  } atMode;

  class flash {
  } flash;

  // The device alias: 1 to 16 printable characters.
  class alias {
   public:
    String get();
    bool set(const String &name);
  } alias;

  class timer {
  } timer;

  class scheduler {
   public:
    class task {
     public:
      // Ends the user program's loop: from now on the main loop no
      // longer calls loop(). Lasts until a restart.
      bool destroy();
    } task;
  } scheduler;
};

class ZEMProtocol {};

#ifdef QIV_LORA_SERVICES_LINKED
// A stored hex setting of the LoRaWAN service (EUIs, keys, addresses): get()
// copies it into buff, set() takes exactly its length; both false outside
// the LoRaWAN work mode or for another length.
#define ZEM_LORAWAN_BYTES(name)                  \
  class name {                                   \
   public:                                       \
    bool get(uint8_t *buff, uint32_t len);       \
    bool set(const uint8_t *buff, uint32_t len); \
  } name

// A numeric setting: get() reads the stored value, set() checks it as the
// AT command does and stores it; false outside the LoRaWAN work mode, for a
// value out of range or when the service refused it.
#define ZEM_LORAWAN_VALUE(name, type) \
  class name {                        \
   public:                            \
    type get();                       \
    bool set(type value);             \
  } name

#define ZEM_LORAWAN_READ(name, type) \
  class name {                       \
   public:                           \
    type get();                      \
  } name

// The LoRaWAN settings and actions, one object each, forwarding to the
// LoRaWAN service.
class ZEMLorawan {
 public:
  // Starts a join with the stored join settings (false when refused); the
  // outcome comes to the join callback.
  bool join();
  // Stores the join settings as AT+JOIN does, then starts or stops joining.
  bool join(uint8_t join_start, uint8_t auto_join, uint8_t auto_join_period,
            uint8_t auto_join_max_cnt);
  // One uplink of length bytes on fport (1 to 223) with the stored confirm
  // mode and retry count; the outcome comes to the send callback.
  bool send(uint8_t length, const uint8_t *payload, uint8_t fport);
  // The same with its own confirm mode and retry count (0 to 7).
  bool send(uint8_t length, const uint8_t *payload, uint8_t fport, bool confirm, uint8_t retry);
  // One unconfirmed uplink on fport (1 to 223), whatever the stored confirm
  // mode.
  bool usend(uint8_t length, const uint8_t *payload, uint8_t fport);
  // A long packet of 1 to 1024 bytes on fport, sent as a series of uplinks
  // (confirmed ones with ack); false when the first of them was refused.
  bool lpsend(uint8_t fport, bool ack, const uint8_t *payload, uint16_t length);

  // Multicast groups (at most four): add one as AT+ADDMULC does (class B or
  // C, data rate 0 to 15, ping-slot periodicity 0 to 7 and 0 for class C;
  // frequency 0 takes the band's default), remove one by its address.
  bool addmulc(McSession_t session);
  bool rmvmulc(uint32_t devAddr);
  // The groups in use one at a time: a zeroed record receives the first,
  // a record handed out receives the next; false when none is left.
  bool lstmulc(McSession_t *iterator);
  // The open channels one at a time, each with the RSSI of the last
  // downlink after an uplink on it; false when the listing is over (the
  // next call starts again at the first).
  bool arssi(chan_rssi *entry);

  // Hooks called by the service; null removes one.
  bool registerRecvCallback(void (*callback)(SERVICE_LORA_RECEIVE_T data));
  bool registerJoinCallback(void (*callback)(int32_t status));
  bool registerSendCallback(void (*callback)(int32_t status));
  bool registerLinkCheckCallback(void (*callback)(SERVICE_LORA_LINKCHECK_T *data));
  bool registerTimereqCallback(void (*callback)(int32_t status));

  ZEM_LORAWAN_VALUE(rety, uint8_t);
  ZEM_LORAWAN_BYTES(appeui);
  ZEM_LORAWAN_BYTES(appkey);
  ZEM_LORAWAN_BYTES(appskey);
  ZEM_LORAWAN_BYTES(daddr);
  ZEM_LORAWAN_BYTES(deui);
  class netid {
   public:
    bool get(uint8_t *buff, uint32_t len);
  } netid;
  ZEM_LORAWAN_BYTES(nwkskey);
  ZEM_LORAWAN_VALUE(cfm, bool);
  ZEM_LORAWAN_READ(cfs, bool);
  ZEM_LORAWAN_VALUE(njm, uint8_t);
  ZEM_LORAWAN_READ(njs, bool);
  ZEM_LORAWAN_VALUE(adr, bool);
  // 0: class A, 1: class B, 2: class C.
  ZEM_LORAWAN_VALUE(deviceClass, uint8_t);
  ZEM_LORAWAN_VALUE(dcs, uint8_t);
  ZEM_LORAWAN_VALUE(dr, uint8_t);
  ZEM_LORAWAN_VALUE(jn1dl, uint32_t);
  ZEM_LORAWAN_VALUE(jn2dl, uint32_t);
  ZEM_LORAWAN_VALUE(pnm, bool);
  ZEM_LORAWAN_VALUE(rx1dl, uint32_t);
  ZEM_LORAWAN_VALUE(rx2dl, uint32_t);
  ZEM_LORAWAN_VALUE(rx2dr, uint8_t);
  ZEM_LORAWAN_VALUE(rx2fq, uint32_t);
  ZEM_LORAWAN_VALUE(txp, uint8_t);
  ZEM_LORAWAN_VALUE(pgslot, uint8_t);
  ZEM_LORAWAN_READ(bfreq, uint32_t);
  ZEM_LORAWAN_READ(btime, uint32_t);
  ZEM_LORAWAN_READ(bgw, beacon_bgw_t);
  ZEM_LORAWAN_READ(rssi, int16_t);
  ZEM_LORAWAN_READ(snr, int8_t);
  // The network time of the last answer to a time request, as AT+LTIME
  // prints it.
  ZEM_LORAWAN_READ(ltime, String);
  // The LoRaWAN version the MAC runs, as "1.0.3"; empty outside the
  // LoRaWAN work mode.
  ZEM_LORAWAN_READ(ver, String);
  // The sub-band mask of AU915, US915, LA915 and CN470 as AT+MASK has it:
  // get() false on a band without sub-bands; set() takes what AT+MASK
  // takes and stores it.
  class mask {
   public:
    bool get(uint16_t *mask);
    bool set(uint16_t mask);
  } mask;
  ZEM_LORAWAN_VALUE(band, uint8_t);
  ZEM_LORAWAN_VALUE(linkcheck, uint8_t);
  ZEM_LORAWAN_VALUE(timereq, uint8_t);
  // The work mode, taking effect at the next start.
  ZEM_LORAWAN_VALUE(nwm, uint8_t);
};

#undef ZEM_LORAWAN_BYTES
#undef ZEM_LORAWAN_VALUE
#undef ZEM_LORAWAN_READ
#endif

#ifdef QIV_LORA_P2P_LINKED
// A point-to-point radio setting: get() reads it, set() checks and stores it
// as the AT command does; false in the LoRaWAN work mode, while reception
// runs, for a value out of range or when the service refused it.
#define ZEM_P2P_VALUE(name, type) \
  class name {                    \
   public:                        \
    type get();                   \
    bool set(type value);         \
  } name

#define ZEM_P2P_BYTES(name)                      \
  class name {                                   \
   public:                                       \
    bool get(uint8_t *buff, uint32_t len);       \
    bool set(const uint8_t *buff, uint32_t len); \
  } name

// The point-to-point settings and actions, one object each.
class ZEMLoraP2P {
 public:
  // Starts a reception of timeout ms (0: one frame, 65534: one frame then
  // on, 65535: until stopped; as AT+PRECV); frames come to the receive
  // callback.
  bool precv(uint32_t timeout);
  // Sends length bytes (with the stored channel-activity check); the end
  // comes to the send callback.
  bool psend(uint8_t length, const uint8_t *payload);
  bool psend(uint8_t length, const uint8_t *payload, bool cad);

  bool registerPRecvCallback(void (*callback)(qiv_lora_p2p_recv_t data));
  bool registerPSendCallback(void (*callback)(void));
  bool registerPSendCADCallback(void (*callback)(bool channel_activity_detected));

  ZEM_P2P_VALUE(iqInver, bool);
  ZEM_P2P_VALUE(syncword, uint16_t);
  ZEM_P2P_VALUE(rfFrequency, uint32_t);
  ZEM_P2P_VALUE(txOutputPower, uint8_t);
  ZEM_P2P_VALUE(bandwidth, uint32_t);
  ZEM_P2P_VALUE(speradingFactor, uint8_t);
  ZEM_P2P_VALUE(codingrate, uint8_t);
  ZEM_P2P_VALUE(preambleLength, uint16_t);
  ZEM_P2P_VALUE(symbolTimeout, uint32_t);
  ZEM_P2P_VALUE(fixLengthPayload, bool);
  ZEM_P2P_VALUE(cad, bool);
  ZEM_P2P_VALUE(pfreq, uint32_t);
  ZEM_P2P_VALUE(psf, uint8_t);
  ZEM_P2P_VALUE(pbw, uint32_t);
  ZEM_P2P_VALUE(pcr, uint8_t);
  ZEM_P2P_VALUE(ppl, uint16_t);
  ZEM_P2P_VALUE(ptp, uint8_t);
  ZEM_P2P_VALUE(encry, bool);
  ZEM_P2P_BYTES(enckey);
  ZEM_P2P_BYTES(enciv);
  ZEM_P2P_VALUE(pbr, uint32_t);
  ZEM_P2P_VALUE(pfdev, uint32_t);
  // The work mode, taking effect at the next start.
  ZEM_P2P_VALUE(nwm, uint8_t);
};

#undef ZEM_P2P_VALUE
#undef ZEM_P2P_BYTES
#endif

#ifdef SUPPORT_BLE
typedef enum : uint8_t {
  ZEM_BLE_UART_MODE = 0,
  ZEM_BLE_BEACON_MODE = 1,
} ZEM_BLE_SERVICE_MODE;

// The connection events a program can have called (ZEMBle::registerCallback).
typedef enum : uint8_t {
  ZEM_BLE_CONNECTED = 0,
  ZEM_BLE_DISCONNECTED = 1,
} ZEM_BLE_EVENT;

// A scan report: RSSI in dBm, the advertiser's address (least significant
// byte first, 6 bytes), its advertising data or scan response and the length.
typedef void (*ZEMBleScanCallback)(int8_t rssi, const uint8_t *address, const uint8_t *data,
                                   uint8_t length);
// A custom characteristic's notifications switched by the peer: its 16-bit
// UUID and, when switched on, its 20-byte value (null when switched off).
typedef void (*ZEMBleCustomCallback)(uint16_t uuid, const uint8_t *value);

// BLE of the images that have it. Each verb forwards to the BLE driver or
// the port; false (or a negative driver code) means refused or, where the
// module's BLE stack lacks the operation, not available.
class ZEMBle {
 public:
  // The serial service that carries bytes between the phone and the BLE
  // port (SERIAL_BLE0).
  class ZEMBleUart {
   public:
    // Serial service mode and advertising for adv_time seconds (0: without
    // end): 0, or the driver's negative code.
    int32_t start(uint8_t adv_time);
    // Advertising, scanning and any connection end.
    bool stop();
    // Bytes received and not yet read. They go to the AT interpreter
    // instead while the BLE port is in AT mode.
    int32_t available();
    // Up to length received bytes into buffer: their count (readCount adds
    // them up).
    int32_t read(uint8_t *buffer, uint32_t length);
    // Sends length bytes to the phone in notifications: the driver's
    // result, negative when refused (no link, notifications off).
    int32_t write(const uint8_t *data, uint32_t length);
    // The pairing passkey: one to six decimal digits.
    bool setPIN(const char *pin);
    // The connection's security level; this module knows level 2 (bonding
    // with the peer's and its own keys).
    bool setPermission(uint8_t level);
    uint8_t *localData = nullptr;
    uint32_t localLength = 0;
    uint32_t readCount = 0;
  };
  class ZEMBleSettings {
   public:
    // Switches the service mode and starts the stack and services again.
    void blemode(ZEM_BLE_SERVICE_MODE mode);
    // Radio transmit power in dBm.
    class txPower {
     public:
      bool set(int8_t dbm);
      int8_t get() const { return value; }
      int8_t value = 0;
    } txPower;
    // Advertising interval in units of 0.625 ms (32 to 16384), from the
    // next advertising start on.
    class advertiseInterval {
     public:
      bool set(uint32_t interval);
      uint32_t get() const { return value; }
      uint32_t value = 1600;
    } advertiseInterval;
    // The advertised device name: 1 to 29 characters.
    class broadcastName {
     public:
      bool set(const char *name);
      const char *get() const { return value; }
      char value[30] = {};
    } broadcastName;
    uint8_t *localData = nullptr;
    uint32_t localLength = 0;
    uint32_t readCount = 0;
  };
  class ZEMBleAdvertise {
   public:
    // Advertises for adv_time seconds (0: without end); true when started.
    bool start(uint8_t adv_time);
    bool stop();
    // True while advertising.
    bool status();
  };
  class ZEMBleMac {
   public:
    // The device address as 12 hexadecimal digits, most significant byte
    // first (as AT+BLEMAC shows it); empty when unknown.
    const char *get();
    // A new address from 12 hexadecimal digits, kept across restarts.
    bool set(const char *mac);
    // What get() found: the address, and the two digits of its least
    // significant byte.
    char devmac[13] = {};
    char twomac[3] = {};
  };
  class ZEMBleBeacon {
   public:
    // The beacon mode's advertising data as given (1 to 31 bytes).
    class custom {
     public:
      bool set(const uint8_t *data, uint8_t length);
      uint8_t payload[31] = {};
    } custom;
    // The beacon mode's iBeacon frame.
    class ibeacon {
     public:
      bool set(const uint8_t beacon_uuid[16], uint16_t beacon_major, uint16_t beacon_minor,
               int8_t measured_power);
      uint8_t uuid[16] = {};
      uint8_t major[2] = {};
      uint8_t minor[2] = {};
      int8_t power = 0;
    } ibeacon;
  };
  // A GATT service of the program's own: up to seven characteristics of 20
  // bytes (read, write, notify) under a 128-bit base UUID.
  class ZEMBleCustom {
   public:
    // Registers the service (each characteristic's UUID is the base with
    // its 16-bit UUID in bytes 12 and 13) and the notification hook (may
    // be null).
    bool init(const uint8_t base_uuid[16], const uint16_t *char_uuids, uint8_t count,
              ZEMBleCustomCallback callback);
    // Custom service mode, advertising the base UUID for adv_time seconds
    // (0: without end).
    bool start(uint8_t adv_time);
  };
  class ZEMBleScanner {
   public:
    // Scans for timeout seconds (0: until stopped); reports go to the
    // scanner callback. Refused while advertising or connected.
    bool start(uint16_t timeout);
    bool stop();
    // Scan interval and window in units of 0.625 ms (4 to 16384, the window
    // not longer than the interval), from the next start on.
    bool setInterval(uint16_t interval, uint16_t window);
    // Null stops the reports.
    bool setScannerCallback(ZEMBleScanCallback callback);
  };
  // The HID keyboard.
  class ZEMBleHid {
   public:
    // HID mode and its advertising for adv_time seconds (0: without end).
    bool start(uint8_t adv_time);
    bool sendkey(const uint8_t *keys, uint8_t length);
    bool setKeyboardCallback(void (*callback)(uint8_t leds));
  };

  // Advertising, scanning and any connection end.
  bool stop();
  // Called in the BLE task when a phone connects or disconnects; null
  // removes it.
  bool registerCallback(ZEM_BLE_EVENT event, void (*callback)(void));

  ZEMBleUart uart;
  ZEMBleSettings settings;
  ZEMBleAdvertise advertise;
  ZEMBleMac mac;
  ZEMBleBeacon beacon;
  ZEMBleCustom custom;
  ZEMBleScanner scanner;
  ZEMBleHid hid;
};
#endif

#ifdef SUPPORT_NFC
// The NFC port (SERIAL_NFC): replies collected into the tag's text message.
class ZEMNfc {
 public:
  bool init();
  // The port's result: negative when refused.
  int32_t send(const uint8_t *data, uint32_t length);
  bool close();
};
#endif

class ZEMUnifiedApi {
 public:
  ZEMSystem system;
#ifdef SUPPORT_BLE
  ZEMBle ble;
#endif
#ifdef QIV_LORA_SERVICES_LINKED
  ZEMLorawan lorawan;
#endif
#ifdef QIV_LORA_P2P_LINKED
  ZEMLoraP2P lora;
#endif
#ifdef SUPPORT_NFC
  ZEMNfc nfc;
#endif
  ZEMProtocol apiMode;
};

extern ZEMUnifiedApi api;
