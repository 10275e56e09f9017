| fullplayer.s - OPM register-stream player of opmcast-full for the Sharp X68000 (Human68k),
| 68000 code.
|
| Assembled, this file is a complete Human68k ".x" executable of 446 bytes, laid out as the
| classic player vgmstub.s:
|
|   file offset   0-63   Human68k header (big-endian fields)
|   file offset  64-433  player code, padded to 370 bytes (text section)
|   file offset 434-445  12-byte data section, beginning with the end-of-stream pair 00 FF
|
| opmcast-full copies bytes 0-433, appends the register stream, appends bytes 434-445 and sets the
| text size (offsets 12-15) so that the stream becomes the end of the text section. The player
| finds the stream at text offset 370; run by itself it reads the 00 FF of the data section there
| and exits at once.
|
| Register stream, read two bytes at a time:
|   r v    r = 01-FF   write v into OPM register r (10-14 and 1B: see below)
|   00 n   n = 00-EF   wait n + 1 steps (1 to 240; a step is one timer A overflow, a fifth
|                      of a tick: 787/5 VGM samples, 3.569 ms, on average)
|   00 n   n = F0-FD   reserved: the song ends here, as at an end marker without a loop
|   00 FE              loop position
|   00 FF              end: go on at the loop position if one was seen, else stop
| Stream writes to 10-14 (the timers this player runs on) are skipped. Register 1B gets its bits
| 1-0 (LFO waveform) from the stream and its bits 7-6 (CT1: ADPCM clock, CT2: floppy READY line)
| from the byte at $09DA, where the IOCS keeps the last value it wrote to 1B; the player reads
| that byte and never changes it. Everything else, register 01 (LFO reset) included, is written
| as given.
|
| Timing, key polling and the MFP handling are those of vgmstub.s (see there for the arithmetic):
| OPM timer A at NA = 801 (223 units of 16 us), five overflows a tick, and in 160 ticks out of
| 441 the third overflow at NA = 800, so the mean tick is exactly 787/44100 s. Unlike vgmstub.s,
| this player counts every overflow as one step of its waits, so five steps make exactly one
| tick and the mean step is 787/5 VGM samples; the key is still looked for once a tick (every
| fifth overflow). The timer flag is polled between pairs; GPIP3 is disabled in the MFP's IERB
| while the player runs.
|
| Before the stream the player sets both LFO depths (register 19: AMD, then PMD) to 0.
|
| Any key stops the replay (the key is taken out of the buffer). On the way out, at the end of
| the song or at a key, the player keys off all eight channels, turns the noise off (0F = 00),
| releases the LFO reset (01 = 00), sets both LFO depths to 0, writes the byte at $09DA back
| into register 1B, sets the TL of all 32 slots to 127, stops the timer, restores the MFP,
| leaves supervisor mode and exits with status 0.
|
| Registers while playing (system calls are wrapped in movem):
|   d1/d2  OPM register number / value for opmw      a3  stream read pointer
|   d3     steps left in the current wait             a4  loop position, 0 if none seen
|   d4     $FF if the MFP had GPIP3 enabled           a5  $E90001 (OPM register-number port)
|   d5     timer A overflows in the current group     a6  SSP returned by DOS _SUPER
|   d6     remainder of the 160/441 correction
|   d7     elapsed steps (timer A overflows) not yet waited for

        .equ    OPM_ADDR, 0xE90001      | write: register number
                                        | 2(a5) = $E90003: write data / read status
        .equ    MFP_IERB, 0xE88009      | MFP interrupt enable register B; bit 3 = GPIP3 (OPM)
        .equ    OPM_1B_COPY, 0x09DA     | IOCS work byte: the last value written to OPM 1B
        .equ    STACK_SIZE, 0x2000      | bss: the stack only
        .equ    DOS_EXIT, 0xFF00
        .equ    DOS_SUPER, 0xFF20
        .equ    IOCS_B_KEYINP, 0x00
        .equ    IOCS_B_KEYSNS, 0x01
        .equ    WAIT_IN_OVERFLOWS, 1    | opm_poll.s: waits count steps, d7 every overflow

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
        bsr     lfoquiet                | no depth an earlier program left modulates the song
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
        move.b  %d1,%d0
        subi.b  #0x10,%d0               | 10-14: the player's own timers
        cmpi.b  #4,%d0
        bls.s   next
        cmpi.b  #0x1B,%d1
        bne.s   2f
        andi.b  #0x03,%d2               | 1B: LFO waveform from the stream,
        move.b  OPM_1B_COPY:w,%d0       | CT1/CT2 as the system has them
        andi.b  #0xC0,%d0
        or.b    %d0,%d2
2:      bsr     opmw
        bra.s   next

command:
        cmpi.b  #0xF0,%d2
        bcs.s   wait                    | 00 00-EF: wait n + 1 steps
        cmpi.b  #0xFE,%d2
        bcs     finish                  | 00 F0-FD: reserved, the song ends here
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
        tst.l   %d7                     | wait until a step has elapsed
        beq.s   1b
        subq.l  #1,%d7
        dbra    %d3,1b
        bra.s   next

| ---------------------------------------------------------------- LFO depths to 0
| AMD 0 (bit 7 clear), then PMD 0 (bit 7 set).
lfoquiet:
        moveq   #0x19,%d1
        moveq   #0,%d2
        bsr.s   opmw
        moveq   #-128,%d2
                                        | falls through: the PMD write returns to the caller

        .include "opm_poll.s"        | opmw and poll, as in vgmstub.s

| ---------------------------------------------------------------- end of replay
finish: moveq   #8,%d1                  | key off: register 8, no operator bits, channel 7..0
        moveq   #7,%d2
1:      bsr     opmw
        dbra    %d2,1b
        moveq   #0x0F,%d1               | noise off
        moveq   #0,%d2
        bsr     opmw
        moveq   #0x01,%d1               | LFO reset released (d2 = 0): a key pressed between
        bsr     opmw                    | the stream's 01 = 02 and 01 = 00 leaves it held
        bsr     lfoquiet                | LFO depths 0
        moveq   #0x1B,%d1               | CT1/CT2 and the waveform as the system keeps them
        move.b  OPM_1B_COPY:w,%d2
        bsr     opmw
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
| The stream of a song starts here; in the bare player the first pair is the end marker.
stream: .byte   0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF
stubend:
