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

class ZEMUnifiedApi {
public:
    ZEMSystem system;
    ZEMProtocol apiMode;
};

extern ZEMUnifiedApi api;
