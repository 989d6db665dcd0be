// The default user program of the image: opens the image's console port,
// prints the module's name and firmware version, then turns busy looping off
// so that the main loop sleeps whenever an auto-sleep time is stored.
#include "qiv_app.h"
#include "service_mode_cli.h"
#include "service_nvm.h"

#ifndef QIV_MODEL
#define QIV_MODEL QIV_IMAGE_NAME
#endif

namespace {
// The port of the user API's `Serial` object.
#if defined(QIV_MCU_STM32WLE5)
constexpr SERIAL_PORT console = SERIAL_UART2;
#elif defined(QIV_MCU_APOLLO3)
constexpr SERIAL_PORT console = SERIAL_UART0;
#else
constexpr SERIAL_PORT console = SERIAL_USB0;
#endif

void console_begin(uint32_t baudrate)
{
    service_nvm_set_baudrate_to_nvm(baudrate);
    udrv_serial_enable(console);
    udrv_serial_init(console, baudrate, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                     SERIAL_TWO_WIRE_NORMAL_MODE);
    // The console's default mode is AT mode.
    if (service_nvm_get_mode_type_from_nvm(console) != SERVICE_MODE_TYPE_CLI &&
        service_nvm_set_mode_type_to_nvm(console, SERVICE_MODE_TYPE_CLI) == 0) {
        service_mode_cli_init(console);
    }
}
}  // namespace

void setup(void)
{
    console_begin(service_nvm_get_baudrate_from_nvm());
    udrv_serial_printf(console, "Velnatronic %s\r\n", QIV_MODEL);
    udrv_serial_printf(console, "------------------------------------------------------\r\n");
    udrv_serial_printf(console, "Version: %s\r\n", sw_version);
}

void loop(void)
{
    no_busy_loop = true;
}
