| vgmstub.s - OPM register-stream player for the Sharp X68000 (Human68k), 68000 code.
|
| Assembled, this file is a complete Human68k ".x" executable of 446 bytes:
|
|   file offset   0-63   Human68k header (big-endian fields)
|   file offset  64-433  player code, padded to 370 bytes (text section)
|   file offset 434-445  12-byte data section, beginning with the end-of-stream pair 00 FF
|
| opmcast copies bytes 0-433, appends the register stream, appends bytes 434-445 and rewrites the
| text size so that the stream becomes the end of the text section. The player therefore finds
| the stream at text offset 370 and, when the stub is run by itself, reads the 00 FF of the data
| section there and exits at once.
|
| Register stream, read two bytes at a time:
|   r v    r = 01-FF   write v into OPM register r
|   00 n   n = 00-FD   wait n + 1 ticks (one tick = 787/44100 s)
|   00 FE              loop position
|   00 FF              end: go on at the loop position if one was seen, else stop
| Stream writes to 10-14 (the timers this player runs on) and to 1B (whose two top bits drive the
| ADPCM clock and the floppy READY line) are skipped.
|
| Timing. OPM timer A overflows every 64 * (1024 - NA) cycles of the 4 MHz OPM clock, that is
| every 16 us * (1024 - NA). A tick, 787/44100 s, is 1115 + 160/441 units of 16 us. Five
| overflows at NA = 801 (223 units each) make 1115 units; in 160 groups out of 441 the third of
| the five periods runs at NA = 800 (224 units), so the mean tick is exactly 787/44100 s.
| A new NA is loaded at the next overflow, so the value for the third period is written after
| the first overflow and taken back after the second.
| The timer runs freely; the player polls its flag between register writes and counts
| overflows, so time spent on a long run of writes is made up by the following waits.
| Timer A only raises its status flag with IRQEN A set, and that also pulls the OPM /IRQ line
| (MFP GPIP3). The player disables GPIP3 in the MFP's IERB while it runs and restores it after.
|
| Before the stream the player sets both LFO depths (register 19: AMD, then PMD) to 0.
|
| Any key stops the replay (the key is taken out of the buffer). On the way out the player keys
| off all eight channels, sets the TL of all 32 slots to 127, stops the timer, restores the MFP,
| leaves supervisor mode and exits with status 0.
|
| Registers while playing (system calls are wrapped in movem, since which registers Human68k
| keeps across IOCS calls is not something to rely on):
|   d1/d2  OPM register number / value for opmw      a3  stream read pointer
|   d3     ticks left in the current wait             a4  loop position, 0 if none seen
|   d4     $FF if the MFP had GPIP3 enabled           a5  $E90001 (OPM register-number port)
|   d5     timer A overflows in the current group     a6  SSP returned by DOS _SUPER
|   d6     remainder of the 160/441 correction
|   d7     elapsed ticks not yet waited for

        .equ    OPM_ADDR, 0xE90001      | write: register number
                                        | 2(a5) = $E90003: write data / read status
        .equ    MFP_IERB, 0xE88009      | MFP interrupt enable register B; bit 3 = GPIP3 (OPM)
        .equ    STACK_SIZE, 0x2000      | bss: the stack only; IOCS calls made in supervisor
                                        | mode and interrupts taken meanwhile use it too
        .equ    DOS_EXIT, 0xFF00
        .equ    DOS_SUPER, 0xFF20
        .equ    IOCS_B_KEYINP, 0x00
        .equ    IOCS_B_KEYSNS, 0x01
        .equ    WAIT_IN_OVERFLOWS, 0    | opm_poll.s: waits count ticks, d7 every 5th overflow

        .text
| ---------------------------------------------------------------- Human68k header (64 bytes)
        .ascii  "HU"                    | $00 magic
        .byte   0                       | $02 reserved
        .byte   0                       | $03 load mode: normal
        .long   0                       | $04 base address
        .long   0                       | $08 entry point: first byte of the text
        .long   stream - start          | $0C text size: 370 here, 370 + stream length in a song
        .long   stubend - stream        | $10 data size: 12
        .long   STACK_SIZE              | $14 bss size
        .long   0                       | $18 relocation table: none, the code is PC-relative
        .long   0                       | $1C symbol table
        .long   0, 0, 0                 | $20 SCD line, symbol and string information
        .long   0, 0, 0, 0              | $2C reserved
        .long   0                       | $3C bind list: none

| ---------------------------------------------------------------- code (text offset 0)
start:  move.l  %a1,%sp                 | a1 = end of bss: the stack grows down from there
        clr.l   -(%sp)
        .short  DOS_SUPER               | supervisor mode for the I/O ports; SSP = this stack
        move.l  %d0,%a6                 | old SSP, handed back on exit (negative: no switch made)
        lea     OPM_ADDR,%a5
        bclr    #3,MFP_IERB             | keep the OPM interrupt away from the CPU ...
        sne     %d4                     | ... and remember whether it was enabled
        moveq   #0x14,%d1               | timer control: both timers stopped, flags cleared,
        moveq   #0x30,%d2               | so that timer A starts from a full period below
        bsr     opmw
        moveq   #0x10,%d1               | CLKA1 = NA >> 2 (NA = 801 = $C8 << 2 | 1)
        moveq   #-56,%d2                | $C8
        bsr     opmw
        moveq   #0x11,%d1               | CLKA2 = NA & 3
        moveq   #1,%d2
        bsr     opmw
        moveq   #0x14,%d1               | F-RESET A, IRQEN A, LOAD A: timer A runs from now on
        moveq   #0x15,%d2
        bsr     opmw
        moveq   #0x19,%d1               | LFO depth: AMD 0 (bit 7 clear), then PMD 0 (bit 7
        moveq   #0,%d2                  | set); the stream never writes 0x19, and an earlier
        bsr     opmw                    | program may have left a depth that would modulate
        moveq   #-128,%d2               | every channel
        bsr     opmw
        moveq   #0,%d5
        moveq   #0,%d6
        moveq   #0,%d7
        suba.l  %a4,%a4                 | no loop position yet
        lea     stream(%pc),%a3

| ---------------------------------------------------------------- stream loop
next:   bsr     poll
        move.b  (%a3)+,%d1              | register number, or 0 for a command
        move.b  (%a3)+,%d2              | value, or the command
        tst.b   %d1
        beq.s   command
        cmpi.b  #0x1B,%d1               | CT1/CT2 lines: never written
        beq.s   next
        move.b  %d1,%d0
        subi.b  #0x10,%d0               | 10-14: the player's own timers
        cmpi.b  #4,%d0
        bls.s   next
        bsr     opmw
        bra.s   next

command:
        cmpi.b  #0xFE,%d2
        bcs.s   wait                    | 00 n: wait n + 1 ticks
        bne.s   endmark                 | 00 FF
        movea.l %a3,%a4                 | 00 FE: the loop goes on from the next pair
        bra.s   next
endmark:
        move.l  %a4,%d0
        beq     finish                  | no loop position: the song is over
        movea.l %a4,%a3
        bra.s   next

wait:   moveq   #0,%d3
        move.b  %d2,%d3                 | n: dbra runs n + 1 times
1:      bsr     poll
        tst.l   %d7                     | wait until a tick has elapsed
        beq.s   1b
        subq.l  #1,%d7
        dbra    %d3,1b
        bra.s   next

        .include "opm_poll.s"        | opmw and poll, shared with the other player

| ---------------------------------------------------------------- end of replay
finish: moveq   #8,%d1                  | key off: register 8, no operator bits, channel 7..0
        moveq   #7,%d2
1:      bsr     opmw
        dbra    %d2,1b
        moveq   #0x60,%d1               | TL of slots 0-31 ($60-$7F) to 127
        moveq   #0x7F,%d2
2:      bsr     opmw
        addq.b  #1,%d1
        bpl.s   2b
        moveq   #0x14,%d1               | timers stopped, IRQEN off, flags cleared: /IRQ high
        moveq   #0x30,%d2
        bsr     opmw
        tst.b   %d4
        beq.s   3f
        bset    #3,MFP_IERB             | GPIP3 enabled again, as found
3:      move.l  %a6,-(%sp)              | old SSP as the argument
        bmi.s   4f
        .short  DOS_SUPER               | back to user mode
4:      .short  DOS_EXIT                | exit status 0

codeend:
        .org    434                     | fails to assemble if the code is longer than 370 bytes

| ---------------------------------------------------------------- data section (12 bytes)
| The stream of a song starts here; in the bare stub the first pair is the end marker.
stream: .byte   0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF
stubend:
