; blink18 - toggles RD0 of a PIC18F4550 about twice a second.
;
; Written for a board with a USB-HID bootloader: the bootloader owns the configuration bits and the
; oscillator setup (48 MHz, 12 MIPS), so this file sets neither. The flasher moves the goto at the
; reset vector to a slot just below the bootloader and puts a jump to the bootloader in its place;
; after its checks the bootloader runs that goto, which lands in "start".
;
; Build: gpasm blink18.asm   (gives blink18.hex)

        list    p=18f4550
        #include <p18f4550.inc>

        errorlevel -302         ; SFRs are reached through the access bank

        cblock  0x000           ; access RAM
        count1
        count2
        count3
        endc

        org     0x0000
reset_vector:
        goto    start

        org     0x0008          ; high-priority interrupts are not used
        retfie  FAST
        org     0x0018          ; low-priority interrupts are not used
        retfie

        org     0x0020
start:
        clrf    LATD, ACCESS
        bcf     TRISD, 0, ACCESS ; RD0 drives the LED
main_loop:
        btg     LATD, 0, ACCESS
        rcall   delay
        bra     main_loop

; About 0.25 s at 12 MIPS: 12 x 256 x 256 passes of 3 to 4 cycles.
delay:
        movlw   .12
        movwf   count3, ACCESS
delay_outer:
        clrf    count2, ACCESS
delay_middle:
        clrf    count1, ACCESS
delay_inner:
        decfsz  count1, F, ACCESS
        bra     delay_inner
        decfsz  count2, F, ACCESS
        bra     delay_middle
        decfsz  count3, F, ACCESS
        bra     delay_outer
        return

        end
