// blink32 - toggles RD0 of a PIC32MX795F512L about twice a second.
//
// Written for a board with a USB-HID bootloader: the bootloader owns the configuration words and the
// clock (80 MHz), so this program sets neither. It lives in program flash only, from 0x9D000000
// (physical 0x1D000000) on; its start-up code is crt0.S.

#include <stdint.h>

// Port D registers and their atomic clear/invert views (KSEG1, uncached).
#define TRISDCLR (*(volatile uint32_t*)0xBF8860C4u)
#define LATDCLR (*(volatile uint32_t*)0xBF8860E4u)
#define LATDINV (*(volatile uint32_t*)0xBF8860ECu)

static void Delay(uint32_t loops) {
    for (volatile uint32_t i = 0; i < loops; ++i) {
    }
}

int main(void) {
    LATDCLR = 1u;
    TRISDCLR = 1u;  // RD0 drives the LED
    for (;;) {
        LATDINV = 1u;
        Delay(2000000u);  // about 0.25 s
    }
}
