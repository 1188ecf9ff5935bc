; blink16 - toggles RD0 of a PIC16F887 about twice a second.
;
; Written for a board with a USB-HID bootloader: the bootloader owns the configuration word and the
; clock, so this file sets neither. The flasher moves the one instruction at the reset vector (the
; goto below) to a slot just below the bootloader and puts a jump to the bootloader in its place, so
; the reset vector must hold a single goto into page 0.
;
; Build: gpasm blink16.asm   (gives blink16.hex)

        list    p=16f887
        #include <p16f887.inc>
        errorlevel -302         ; bank selection is done with banksel

        cblock  0x70            ; common RAM, reachable from every bank
        count1
        count2
        count3
        endc

        org     0x0000
reset_vector:
        goto    start

        org     0x0004          ; interrupts are not used
        retfie

start:
        banksel PORTD
        clrf    PORTD
        banksel TRISD
        bcf     TRISD, 0        ; RD0 drives the LED
        banksel PORTD
main_loop:
        movlw   0x01
        xorwf   PORTD, F
        call    delay
        goto    main_loop

; About 0.25 s at 5 MIPS: 6 x 256 x 256 passes of 3 cycles.
delay:
        movlw   .6
        movwf   count3
delay_outer:
        clrf    count2
delay_middle:
        clrf    count1
delay_inner:
        decfsz  count1, F
        goto    delay_inner
        decfsz  count2, F
        goto    delay_middle
        decfsz  count3, F
        goto    delay_outer
        return

        end
