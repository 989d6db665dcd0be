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

class ZEMProtocol {
};

#ifdef QIV_LORA_SERVICES_LINKED
// The LoRaWAN settings and actions, one object each (their verbs go through
// the LoRaWAN service and its AT commands).
class ZEMLorawan {
public:
    class rety {} rety;
    class appeui {} appeui;
    class appkey {} appkey;
    class appskey {} appskey;
    class daddr {} daddr;
    class deui {} deui;
    class netid {} netid;
    class nwkskey {} nwkskey;
    class cfm {} cfm;
    class cfs {} cfs;
    class njm {} njm;
    class njs {} njs;
    class adr {} adr;
    class deviceClass {} deviceClass;
    class dcs {} dcs;
    class dr {} dr;
    class jn1dl {} jn1dl;
    class jn2dl {} jn2dl;
    class pnm {} pnm;
    class rx1dl {} rx1dl;
    class rx2dl {} rx2dl;
    class rx2dr {} rx2dr;
    class rx2fq {} rx2fq;
    class txp {} txp;
    class pgslot {} pgslot;
    class bfreq {} bfreq;
    class btime {} btime;
    class bgw {} bgw;
    class rssi {} rssi;
    class snr {} snr;
    class ltime {} ltime;
    class ver {} ver;
    class mask {} mask;
    class band {} band;
    class linkcheck {} linkcheck;
    class timereq {} timereq;
    class nwm {} nwm;
};
#endif

#ifdef QIV_LORA_P2P_LINKED
// The point-to-point settings, one object each.
class ZEMLoraP2P {
public:
    class iqInver {} iqInver;
    class syncword {} syncword;
    class rfFrequency {} rfFrequency;
    class txOutputPower {} txOutputPower;
    class bandwidth {} bandwidth;
    class speradingFactor {} speradingFactor;
    class codingrate {} codingrate;
    class preambleLength {} preambleLength;
    class symbolTimeout {} symbolTimeout;
    class fixLengthPayload {} fixLengthPayload;
    class cad {} cad;
    class pfreq {} pfreq;
    class psf {} psf;
    class pbw {} pbw;
    class pcr {} pcr;
    class ppl {} ppl;
    class ptp {} ptp;
    class encry {} encry;
    class enckey {} enckey;
    class enciv {} enciv;
    class pbr {} pbr;
    class pfdev {} pfdev;
    class nwm {} nwm;
};
#endif

class ZEMUnifiedApi {
public:
    ZEMSystem system;
#ifdef QIV_LORA_SERVICES_LINKED
    ZEMLorawan lorawan;
#endif
#ifdef QIV_LORA_P2P_LINKED
    ZEMLoraP2P lora;
#endif
    ZEMProtocol apiMode;
};

extern ZEMUnifiedApi api;
