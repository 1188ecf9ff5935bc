; LED blink for a PIC16F887 board, built with: gpasm -p p16f887 blink16.asm
; Application at word 0x0000 below the bootloader; a retlw table higher up,
; configuration words at 0x2007/0x2008 and data EEPROM bytes at 0x2100.

        include <p16f887.inc>
        errorlevel -302

        __config _CONFIG1, _FOSC_INTRC_NOCLKOUT & _WDTE_OFF & _LVP_OFF & _MCLRE_ON
        __config _CONFIG2, _BOR4V_BOR40V & _WRT_OFF

        cblock  0x20
        count1
        count2
        endc

        org     0x0000
        goto    start

        org     0x0004
        retfie

start:
        banksel TRISD
        bcf     TRISD, 0
        banksel PORTD
        clrf    PORTD
loop:
        movlw   0x01
        xorwf   PORTD, F
        call    delay
        goto    loop

delay:
        movlw   0xFF
        movwf   count1
d1:     movwf   count2
d2:     decfsz  count2, F
        goto    d2
        decfsz  count1, F
        goto    d1
        return

        org     0x0800
table:  addwf   PCL, F
        dt      "Quarnel", 0

        org     0x2100
        de      0x12, 0x34, 0x56

        end
