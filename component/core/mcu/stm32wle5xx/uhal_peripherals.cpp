// Pin interrupts, pins, ADC, PWM, SPI and I2C of the STM32WLE5 images.
// Pins are numbered 16 x port + line (A 0..15, B 16..31, C 32..47).
#include "stm32wle5xx_port.h"
#include "udrv_adc.h"
#include "udrv_gpio.h"
#include "udrv_powersave.h"
#include "udrv_pwm.h"
#include "udrv_spimst.h"
#include "udrv_twimst.h"

namespace {

constexpr uint32_t kPins = 48;
constexpr uint32_t kLines = 16;

gpio_isr_func sg_gpio_isr[kPins];
udrv_system_event_t qiv_gpio_int_event[kLines];

GPIO_TypeDef *port_of(uint32_t pin)
{
    return reinterpret_cast<GPIO_TypeDef *>(GPIOA_BASE + (pin / 16) * 0x400U);
}

uint16_t mask_of(uint32_t pin)
{
    return static_cast<uint16_t>(1U << (pin % 16));
}

uint32_t pull_of(gpio_pull_t pull)
{
    switch (pull) {
    case GPIO_PULL_UP:
        return GPIO_PULLUP;
    case GPIO_PULL_DOWN:
        return GPIO_PULLDOWN;
    default:
        return GPIO_NOPULL;
    }
}

// The pull-up or pull-down the pin has now.
uint32_t current_pull(uint32_t pin)
{
    return (port_of(pin)->PUPDR >> (2 * (pin % 16))) & 3U;
}

void configure(uint32_t pin, uint32_t mode, uint32_t pull)
{
    GPIO_InitTypeDef init = {};
    init.Pin = mask_of(pin);
    init.Mode = mode;
    init.Pull = pull;
    init.Speed = GPIO_SPEED_FREQ_HIGH;
    HAL_GPIO_Init(port_of(pin), &init);
}

IRQn_Type exti_irq(uint32_t line)
{
    if (line <= 4) {
        return static_cast<IRQn_Type>(EXTI0_IRQn + line);
    }
    return line <= 9 ? EXTI9_5_IRQn : EXTI15_10_IRQn;
}

}  // namespace

// ------------------------------------------------------------------ pins ----
// A pin interrupt (EXTI, in interrupt context): ends the sleep loop and posts
// the line's event; its handler runs in the main loop.
void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin)
{
    uint32_t line = 0;
    while (line < kLines && !(GPIO_Pin & (1U << line))) {
        ++line;
    }
    if (line >= kLines) {
        return;
    }
    udrv_powersave_in_sleep = false;
    qiv_gpio_int_event[line].request = UDRV_SYS_EVT_OP_GPIO_INTERRUPT;
    qiv_gpio_int_event[line].p_context = reinterpret_cast<void *>(static_cast<uintptr_t>(line));
    udrv_system_event_produce(&qiv_gpio_int_event[line]);
}

void uhal_gpio_handler_handler(void *pdata)
{
    uint32_t line = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pdata));
    if (line < kLines && sg_gpio_isr[line] != nullptr) {
        sg_gpio_isr[line](line);
    }
}

// Pins of the same line number share one EXTI line: the first handler
// registered keeps it; another handler is refused with -5.
int32_t uhal_gpio_register_isr(uint32_t pin, gpio_isr_func handler)
{
    uint32_t line = pin % 16;
    if (sg_gpio_isr[line] == nullptr) {
        sg_gpio_isr[line] = handler;
        return 0;
    }
    return sg_gpio_isr[line] == handler ? 0 : -UDRV_OCCUPIED;
}

void uhal_gpio_intc_trigger_mode(uint32_t pin, gpio_intc_trigger_mode_t mode)
{
    if (pin >= kPins) {
        return;
    }
    uint32_t it_mode;
    switch (mode) {
    case GPIO_INTC_HIGH_LEVEL:
    case GPIO_INTC_RISING_EDGE:
        it_mode = GPIO_MODE_IT_RISING;
        break;
    case GPIO_INTC_LOW_LEVEL:
    case GPIO_INTC_FALLING_EDGE:
        it_mode = GPIO_MODE_IT_FALLING;
        break;
    default:
        it_mode = GPIO_MODE_IT_RISING_FALLING;
        break;
    }
    configure(pin, it_mode, current_pull(pin));
    IRQn_Type irq = exti_irq(pin % 16);
    HAL_NVIC_SetPriority(irq, 2, 0);
    HAL_NVIC_EnableIRQ(irq);
}

void uhal_gpio_init(uint32_t pin, gpio_dir_t dir, gpio_pull_t pull, gpio_logic_t logic)
{
    if (pin >= kPins) {
        return;
    }
    if (dir == GPIO_DIR_OUT) {
        HAL_GPIO_WritePin(port_of(pin), mask_of(pin), logic == GPIO_LOGIC_HIGH ? GPIO_PIN_SET : GPIO_PIN_RESET);
    }
    configure(pin, dir == GPIO_DIR_OUT ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, pull_of(pull));
}

void uhal_gpio_set_dir(uint32_t pin, gpio_dir_t dir)
{
    if (pin >= kPins) {
        return;
    }
    configure(pin, dir == GPIO_DIR_OUT ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, current_pull(pin));
}

void uhal_gpio_set_pull(uint32_t pin, gpio_pull_t pull)
{
    if (pin >= kPins) {
        return;
    }
    uint32_t moder = (port_of(pin)->MODER >> (2 * (pin % 16))) & 3U;
    configure(pin, moder == 1 ? GPIO_MODE_OUTPUT_PP : GPIO_MODE_INPUT, pull_of(pull));
}

void uhal_gpio_set_logic(uint32_t pin, gpio_logic_t logic)
{
    if (pin >= kPins) {
        return;
    }
    HAL_GPIO_WritePin(port_of(pin), mask_of(pin), logic == GPIO_LOGIC_HIGH ? GPIO_PIN_SET : GPIO_PIN_RESET);
}

gpio_logic_t uhal_gpio_get_logic(uint32_t pin)
{
    if (pin >= kPins) {
        return GPIO_LOGIC_LOW;
    }
    return HAL_GPIO_ReadPin(port_of(pin), mask_of(pin)) == GPIO_PIN_SET ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW;
}

// No pin of these images is a wake-up source, so the pins keep their
// configuration through stop mode.
void uhal_gpio_suspend(void)
{
}

void uhal_gpio_resume(void)
{
}

// ------------------------------------------------------------------- ADC ----
#ifndef UDRV_ADC_CHANNEL_TEMPSENSOR
#define UDRV_ADC_CHANNEL_TEMPSENSOR 253
#define UDRV_ADC_CHANNEL_VREFINT 254
#define UDRV_ADC_CHANNEL_VBAT 255
#endif

namespace {
UDRV_ADC_RESOLUTION uhal_adc_resolution = UDRV_ADC_RESOLUTION_10BIT;

bool adc_pin(uint32_t pin)
{
    switch (pin) {
    case 10:
    case 15:
    case 18:
    case 19:
    case 20:
    case UDRV_ADC_CHANNEL_TEMPSENSOR:
    case UDRV_ADC_CHANNEL_VREFINT:
    case UDRV_ADC_CHANNEL_VBAT:
        return true;
    default:
        return false;
    }
}
}  // namespace

// The converter is not part of this build: a pin outside the map is refused
// with -4, a conversion fails with -7.
int32_t uhal_adc_read(uint32_t pin, int16_t *)
{
    return adc_pin(pin) ? -UDRV_INTERNAL_ERR : -UDRV_NACK;
}

UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void)
{
    return uhal_adc_resolution;
}

UDRV_ADC_MODE uhal_adc_get_mode(void)
{
    return UDRV_ADC_MODE_3_3;
}

#ifdef QIV_ADC_SET_RESOLUTION
int32_t uhal_adc_set_resolution(UDRV_ADC_RESOLUTION resolution)
{
    switch (resolution) {
    case UDRV_ADC_RESOLUTION_8BIT:
    case UDRV_ADC_RESOLUTION_10BIT:
        uhal_adc_resolution = resolution;
        break;
    default:
        uhal_adc_resolution = UDRV_ADC_RESOLUTION_12BIT;
        break;
    }
    return 0;
}
#endif

void uhal_adc_suspend(void)
{
}

void uhal_adc_resume(void)
{
}

// --------------------------------------------------------- PWM and SPI ----
void uhal_pwm_suspend(void)
{
}

void uhal_pwm_resume(void)
{
}

void uhal_spimst_suspend(void)
{
}

void uhal_spimst_resume(void)
{
}

// ------------------------------------------------------------------- I2C ----
// I2C2 with no device on the bus: every transfer ends unacknowledged.
namespace {

bool twimst_open[UDRV_TWIMST_MAX];
uint32_t twimst_timing = 0x0070085CU;

void uhal_twimst_init(udrv_twimst_port port)
{
    if (port < UDRV_TWIMST_MAX) {
        twimst_open[port] = true;
    }
}

int32_t uhal_twimst_deinit(udrv_twimst_port port)
{
    if (port < UDRV_TWIMST_MAX) {
        twimst_open[port] = false;
    }
    return 0;
}

void uhal_twimst_setup_freq(udrv_twimst_port, uint32_t clk_hz)
{
    if (clk_hz <= 100000U) {
        twimst_timing = 0x10300ADBU;
    } else if (clk_hz <= 250000U) {
        twimst_timing = 0x00700D9FU;
    } else {
        twimst_timing = 0x0070085CU;
    }
}

int32_t uhal_twimst_write(udrv_twimst_port, uint8_t, uint8_t const *, uint16_t, bool)
{
    return -UDRV_NACK;
}

int32_t uhal_twimst_read(udrv_twimst_port, uint8_t, uint8_t *, uint16_t)
{
    return -UDRV_NACK;
}

void uhal_twimst_suspend(void)
{
}

void uhal_twimst_resume(void)
{
}

}  // namespace

udrv_twimst_api twimst_driver = {
    uhal_twimst_init,
    uhal_twimst_deinit,
    uhal_twimst_setup_freq,
    uhal_twimst_write,
    uhal_twimst_read,
    uhal_twimst_suspend,
    uhal_twimst_resume,
};
