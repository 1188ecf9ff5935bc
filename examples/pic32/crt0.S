# Start-up for blink32: a stack at the top of RAM, then main(). Nothing to copy or clear, since the
# program keeps no variables in RAM.
        .set    noreorder
        .section .text.start, "ax", @progbits
        .globl  _start
        .ent    _start
_start:
        la      $sp, 0xA0020000         # top of the 128 KB of RAM (KSEG1)
        jal     main
        nop
1:      b       1b                      # main never returns
        nop
        .end    _start
