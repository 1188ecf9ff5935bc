; LED blink for a PIC18F4550 board, built with: gpasm -p p18f4550 blink18.asm
; Application at 0x0000 below the bootloader; a lookup table high in flash,
; configuration bytes at 0x300000 and data EEPROM bytes at 0xF00000.

        include <p18f4550.inc>

        config  PLLDIV = 5, CPUDIV = OSC1_PLL2, USBDIV = 2
        config  FOSC = HSPLL_HS, FCMEN = OFF, IESO = OFF
        config  PWRT = ON, BOR = OFF, VREGEN = ON
        config  WDT = OFF, MCLRE = ON, PBADEN = OFF
        config  LVP = OFF, XINST = OFF, DEBUG = OFF

        cblock  0x20
        count1
        count2
        endc

        org     0x0000
        goto    start

        org     0x0008
        retfie  FAST

        org     0x0018
        retfie

start:
        clrf    LATD, A
        bcf     TRISD, 0, A
loop:
        btg     LATD, 0, A
        call    delay
        bra     loop

delay:
        movlw   0xFF
        movwf   count1, A
d1:     movwf   count2, A
d2:     decfsz  count2, F, A
        bra     d2
        decfsz  count1, F, A
        bra     d1
        return

        org     0x6000
table:  db      "Quarnel blink", 0x00, 0x7E

        org     0xF00000
        de      0x12, 0x34, 0x56

        end
