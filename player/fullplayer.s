| fullplayer.s - OPM register-stream player of opmcast-full for the Sharp X68000 (Human68k),
| 68000 code.
|
| Assembled, this file is a complete Human68k ".x" executable of 1676 bytes:
|
|   file offset    0-63    Human68k header (big-endian fields)
|   file offset   64-1663  player code, padded to 1600 bytes (text section); its first
|                          instruction branches over four fields the converter sets:
|                          text offset 2 (file 66), long: the drums' bank table's text offset,
|                          0 without drums; text offset 6 (file 70), long: the display block's
|                          text offset, 0 without a display; text offset 10 (file 74), word:
|                          the passes through the loop before the fade, 0 to loop until a key;
|                          text offset 12 (file 76), long: an album's table, 0 for one song
|   file offset 1664-1675  12-byte data section, beginning with the end-of-stream pair 00 FF
|
| opmcast-full copies bytes 0-1663, appends the register stream, the bank and the display
| block, appends bytes 1664-1675 and sets the text size (offsets 12-15) so that they end the
| text section, and the fields. The player finds a song's stream at text offset 1600; run by
| itself it reads the 00 FF of the data section there and exits at once.
|
| An album is several songs in one program: the tracks' streams, one bank they share, the
| album's display block (the keys and the track list), the tracks' display blocks and the
| album's table: the tracks (word, 1 to 999), flags (word, bit 0: the first track again after
| the last), then 12 bytes a track: its stream's text offset (long), its display block's (long,
| 0: none), its passes (word) and a spare word. A table that does not hold (odd, not inside
| the text after the code, no track, more than 999, an offset, the album's display block's
| too, odd or not between the code's end and the table) ends the program at once. The player
| plays the tracks in turn, each from its own start-up image; at a track's end the chip is
| left as at the end of a song (below, before the timer is stopped) and the next track starts.
| At every track's start, with the album's display block (its header's lines: the keys, then a
| line a track), the screen is erased (DOS _CONCTRL 10) and drawn from its top (_CONCTRL 3):
| the keys' line, a window of 20 lines of the track list around the track playing, marked
| '>', then the track's header and time line, so that nothing scrolls off the 31 lines of the
| text screen. Keys: n the next track, p the one
| before (the same track again once 3 s of it have played), 1-9 that track (ignored beyond the
| album), space pauses (every TL 127, the ADPCM stopped, no step counted) and resumes, q or
| ESC quits; others are ignored. A program of one song stops at any key.
|
| Register stream, read two bytes at a time:
|   r v    r = 01-FF   write v into OPM register r (10-14 and 1B: see below)
|   00 n   n = 00-EF   wait n + 1 steps (1 to 240; a step is one timer A overflow, a fifth
|                      of a tick: 787/5 VGM samples, 3.569 ms, on average)
|   00 F0              stop the ADPCM and mute it
|   00 F1-F3  nn nn    start sample nn nn (big-endian, an index into the bank's table) on the
|                      sides of the command's bits 1-0: bit 1 left, bit 0 right
|   00 F4-F7           the sample playing goes on on the sides of the command's bits 1-0
|                      (00 F4: neither, muted); nothing when none plays
|   00 F8              the song ends here, even after a loop position: the end of the fade
|   00 n   n = F9-FD   reserved: the song ends here too
|   00 FE              loop position
|   00 FF              end of a pass: go on at the loop position if one was seen, else stop;
|                      after the last pass (the word at text offset 10, when not 0) go on
|                      with the pairs that follow, the fade, up to its 00 F8
| Stream writes to 10-14 (the timers this player runs on) are skipped. Register 1B gets its bits
| 1-0 (LFO waveform) from the stream and its bits 7-6 (CT1: ADPCM clock, CT2: floppy READY line)
| from the byte at $09DA, where the IOCS keeps the last value it wrote to 1B; the player reads
| that byte and never changes it. In a program with drums CT1 is written clear (ADPCM clock
| 8 MHz), once before the stream and at every write of 1B. Everything else, register 01 (LFO
| reset) included, is written as given.
|
| The bank's table holds 8 bytes a sample: its offset from the table (long), its byte count
| (word, 0 for a sample left out), port C's divider bits ($08 for 512, $04 768, $00 1024) and a
| spare byte; the first entry's offset is the table's length. A sample plays through DMA
| channel 3 without its interrupt, which the system's handler would take; the player looks at
| the channel's COC at every step of a wait and stops and mutes the ADPCM when the transfer is
| over. A program without drums touches neither the DMA controller, nor the ADPCM, nor the PPI.
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
| The display block: the header's lines (ASCII or Shift-JIS, each ended by CR LF), a NUL, the
| time line's pattern, a NUL. Before the music starts the player prints the header through
| DOS _CONCTRL. From then on it counts the steps its waits take and, about once a second,
| draws the time line from the pattern ($01: the time played, m:ss; $02: the pass through the
| loop) after a CR, then prints it one character a step, never at a wait's last step: a
| character takes a small part of a step, so the printing never delays a register write, and
| a song of short waits only sees its time line late.
|
| Any key stops the replay (the key is taken out of the buffer). On the way out, at the end of
| the song or at a key, the player stops and mutes the ADPCM (drums only), keys off all eight channels, turns the noise off (0F = 00),
| releases the LFO reset (01 = 00), sets both LFO depths to 0, writes the byte at $09DA back
| into register 1B, sets the TL of all 32 slots to 127, stops the timer, restores the MFP,
| prints CR LF after the time line (with a display), leaves supervisor mode and exits with
| status 0.
|
| Registers while playing (system calls are wrapped in movem):
|   d1/d2  OPM register number / value for opmw      a3  stream read pointer
|   d3     steps left in the current wait             a4  loop position, 0 if none seen
|   d4     $FF if the MFP had GPIP3 enabled           a5  $E90001 (OPM register-number port)
|   d5     timer A overflows in the current group     a6  SSP returned by DOS _SUPER
|   d6     remainder of the 160/441 correction
|   d7     elapsed steps (timer A overflows) not yet waited for
|   a0     the player's variables (PASS and below)
|   a1     $E840C0 (DMA channel 3), with drums        a2  bank table, 0 without drums

        .equ    OPM_ADDR, 0xE90001      | write: register number
                                        | 2(a5) = $E90003: write data / read status
        .equ    MFP_IERB, 0xE88009      | MFP interrupt enable register B; bit 3 = GPIP3 (OPM)
        .equ    OPM_1B_COPY, 0x09DA     | IOCS work byte: the last value written to OPM 1B
        .equ    DMAC3, 0xE840C0         | HD63450 channel 3, the ADPCM's: CSR at +0
        .equ    DCR, 0x04               | channel 3's registers, from its CSR
        .equ    OCR, 0x05
        .equ    SCR, 0x06
        .equ    CCR, 0x07
        .equ    MTC, 0x0A
        .equ    MAR, 0x0C
        .equ    DAR, 0x14
        .equ    MFC, 0x29
        .equ    DFC, 0x31
        .equ    ADPCM_CMD, 0xE92001     | MSM6258: $01 stop, $02 play
        .equ    ADPCM_DATA, 0xE92003    | MSM6258 data port, channel 3's device
        .equ    PPI_PORTC, 0xE9A005     | 8255 port C: bits 3-2 divider, 1-0 side off
        .equ    STACK_SIZE, 0x2000      | bss: the stack only
        .equ    DOS_EXIT, 0xFF00
        .equ    DOS_SUPER, 0xFF20
        .equ    DOS_CONCTRL, 0xFF23
        .equ    IOCS_B_KEYINP, 0x00
        .equ    IOCS_B_KEYSNS, 0x01
        .equ    WAIT_IN_OVERFLOWS, 1    | opm_poll.s: waits count steps, d7 every overflow
        .equ    STEP_UNITS, 787         | a step is 787/5 VGM samples: 787 units of 1/220500 s
        .equ    SECOND_UNITS, 220500
| The player's variables, at the top of the bss (a0 points at them), the stack below.
        .equ    PASS, 0                 | word: the pass through the loop playing, from 1
        .equ    DUE, 2                  | byte: nonzero when the time line is to be drawn again
        .equ    UNITS, 4                | long: the time played below a second, in STEP_UNITS
        .equ    SECS, 8                 | long: whole seconds played
        .equ    NEXTCH, 12              | word: offset in LINE of the next character to print
        .equ    PATTERN, 14             | long: the time line's pattern; 0 without a display
        .equ    LOOPS, 18               | word: the track's passes before its fade, 0: until a key
        .equ    TRACK, 20               | word: the album's track playing, from 0
        .equ    COUNT, 22               | word: the album's tracks
        .equ    LINE, 24                | the time line as drawn, CR first, NUL-terminated
        .equ    TLS, 24 + 128           | 32 bytes: TL of slots 0-31 ($60-$7F) as last written
        .equ    VARS, 24 + 128 + 32
        .equ    LIST_LINES, 20          | the track list's lines on the screen at a time

        .text
| ---------------------------------------------------------------- Human68k header (64 bytes)
        .ascii  "HU"                    | $00 magic
        .byte   0                       | $02 reserved
        .byte   0                       | $03 load mode: normal
        .long   0                       | $04 base address
        .long   0                       | $08 entry point: first byte of the text
        .long   stream - start          | $0C text size: 1600 here, more in a song
        .long   stubend - stream        | $10 data size: 12
        .long   STACK_SIZE              | $14 bss size
        .long   0                       | $18 relocation table: none, the code is PC-relative
        .long   0                       | $1C symbol table
        .long   0, 0, 0                 | $20 SCD line, symbol and string information
        .long   0, 0, 0, 0              | $2C reserved
        .long   0                       | $3C bind list: none

| ---------------------------------------------------------------- code (text offset 0)
start:  bra.s   1f
bank:   .long   0                       | text offset 2: the bank table's text offset, 0 without
                                        | drums; the converter sets it as it sets the text size
display:.long   0                       | text offset 6: the display block's, 0 without a display
loops:  .word   0                       | text offset 10: passes before the fade, 0: until a key
album:  .long   0                       | text offset 12: the album's table, 0 for one song
1:      lea     -VARS(%a1),%sp          | a1 = end of bss: the variables at its top, the stack
        clr.l   -(%sp)                  | below them
        .short  DOS_SUPER               | supervisor mode for the I/O ports; SSP = this stack
        move.l  %d0,%a6                 | old SSP, handed back on exit (negative: no switch made)
        lea     4(%sp),%a0              | the variables (the stack pointer is kept by the switch)
        clr.w   TRACK(%a0)
        clr.l   PATTERN(%a0)
        lea     stream(%pc),%a3         | one song: stream, display and passes from the head
        move.l  display(%pc),%d0
        move.w  loops(%pc),%d1
        move.l  album(%pc),%d2
        beq.s   3f
        bsr     opening                 | an album: its table checked, its list printed
3:      bsr     trackhead               | the header, before the music starts
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
        suba.l  %a2,%a2                 | no drums ...
        move.l  bank(%pc),%d0
        beq.s   2f
        lea     start(%pc),%a2          | ... unless the program has a bank
        adda.l  %d0,%a2
        lea     DMAC3,%a1
        bsr     adpcmstop               | channel 3 idle, its status cleared, the ADPCM stopped
        move.b  #0x80,DCR(%a1)          | cycle steal, 68000 device, 8-bit port
        move.b  #0x32,OCR(%a1)          | memory to device, bytes, no chain, request line
        move.b  #0x04,SCR(%a1)          | memory address counts up, the device's stays
        moveq   #5,%d0                  | supervisor data
        move.b  %d0,MFC(%a1)
        move.b  %d0,DFC(%a1)
        move.l  #ADPCM_DATA,DAR(%a1)
        move.b  OPM_1B_COPY:w,%d2       | ADPCM clock 8 MHz from now on
        moveq   #0x1B,%d1
        bsr     w1b
2:

| ---------------------------------------------------------------- stream loop
next:   bsr     poll
        moveq   #0,%d1
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
        bsr     w1b
        bra.s   next
2:      move.b  %d1,%d0                 | 60-7F, the slots' TL: kept for the end of a pause
        subi.b  #0x60,%d0
        cmpi.b  #0x1F,%d0
        bhi.s   3f
        move.b  %d2,TLS-0x60(%a0,%d1.w)
3:      bsr     opmw
        bra.s   next

command:
        cmpi.b  #0xF0,%d2
        bcs.s   wait                    | 00 00-EF: wait n + 1 steps
        cmpi.b  #0xF8,%d2
        bcs.s   drum                    | 00 F0-F7: the ADPCM
        cmpi.b  #0xFE,%d2
        bcs     songend                 | 00 F8: the fade is over; F9-FD reserved: the end
        bne.s   endmark                 | 00 FF
        movea.l %a3,%a4                 | 00 FE: the loop goes on from the next pair
        bra.s   next
endmark:
        move.l  %a4,%d0
        beq     songend                 | no loop position: the song is over
        move.w  LOOPS(%a0),%d0
        beq.s   1f                      | looping until a key
        cmp.w   (%a0),%d0
        bls     next                    | the last pass is over: the fade follows, to its 00 F8
1:      addq.w  #1,(%a0)                | PASS
        st      DUE(%a0)
        movea.l %a4,%a3
        bra     next

wait:   moveq   #0,%d3
        move.b  %d2,%d3                 | n: dbra runs n + 1 times
1:      bsr     poll
        tst.l   %d7                     | wait until a step has elapsed
        beq.s   1b
        subq.l  #1,%d7
        move.l  %a2,%d0                 | with drums, at every step: a sample whose transfer
        beq.s   2f                      | is over (COC) is stopped and muted
        tst.b   (%a1)
        bpl.s   2f
        bsr     adpcmstop
2:      tst.l   PATTERN(%a0)
        beq.s   3f
        bsr     clock
3:      dbra    %d3,1b
        bra     next

| 00 F0 stops the ADPCM; 00 F1-F3 start the sample the next pair numbers, on the sides of the
| command's bits 1-0 (bit 1 left, bit 0 right). A start stops what plays (the one DAC plays one
| hit at a time), then plays the sample unless its number is beyond the table or it was left
| out (count 0). 00 F4-F7 move the sample playing to the sides of bits 1-0, the transfer and
| the divider left as they are. Without a bank nothing is touched.
drum:   moveq   #3,%d3
        and.b   %d2,%d3                 | sides
        btst    #2,%d2
        bne.s   1f                      | 00 F4-F7: no number
        tst.b   %d3
        beq.s   1f                      | 00 F0: no number
        moveq   #0,%d0
        move.w  (%a3)+,%d0              | sample number
1:      move.l  %a2,%d1
        beq.s   9f
        btst    #2,%d2
        bne.s   sides
        bsr     adpcmstop
        tst.b   %d3
        beq.s   9f
        move.l  (%a2),%d1               | the first entry's offset: 8 bytes an entry
        lsr.l   #3,%d1
        cmp.l   %d1,%d0
        bcc.s   9f                    | beyond the table
        lsl.l   #3,%d0
        move.w  4(%a2,%d0.l),%d1        | byte count
        beq.s   9f                    | left out
        move.w  %d1,MTC(%a1)
        move.l  (%a2,%d0.l),%d1         | the sample's offset from the table
        add.l   %a2,%d1
        move.l  %d1,MAR(%a1)
        move.b  #0x80,CCR(%a1)          | start, no interrupt: the system's handler stays out
        moveq   #0x0C,%d2
        and.b   6(%a2,%d0.l),%d2        | divider bits 3-2
        moveq   #-16,%d1                | the joysticks' bits 7-4 kept
        bsr.s   portc
        move.b  #2,ADPCM_CMD            | play
9:      bra     next

| 00 F4-F7 while a transfer runs (ACT): port C's side bits only.
sides:  btst    #3,(%a1)                | ACT
        beq.s   9b
        moveq   #0,%d2
        moveq   #-4,%d1                 | bits 7-2 kept: the joysticks and the divider
        bsr.s   portc
        bra.s   9b

| Port C: the bits of d1 kept, d2's and the sides of d3 (bit 1 left, bit 0 right) set; port
| C's bits 1-0 turn a side off.
portc:  eori.b  #3,%d3
        or.b    %d3,%d2
        and.b   PPI_PORTC,%d1
        or.b    %d2,%d1
        move.b  %d1,PPI_PORTC
        rts

| ---------------------------------------------------------------- the display
| At every step of a wait, with a display: the time played moves on by a step; when it passes
| a second, the time line is due to be drawn again. Nothing is drawn or printed at a wait's
| last step, when the next pair is due: in any other step the line is drawn if due, and one
| character of it is printed, which takes far less than the step that remains.
clock:  addi.l  #STEP_UNITS,UNITS(%a0)
        cmpi.l  #SECOND_UNITS,UNITS(%a0)
        bcs.s   1f
        subi.l  #SECOND_UNITS,UNITS(%a0)
        addq.l  #1,SECS(%a0)
        st      DUE(%a0)
1:      tst.w   %d3                     | steps left after this one
        beq.s   9f
        tst.b   DUE(%a0)
        beq.s   2f
        bsr.s   render
2:      move.w  NEXTCH(%a0),%d0
        moveq   #0,%d1
        move.b  LINE(%a0,%d0.w),%d1
        beq.s   9f                      | the line is out
        addq.w  #1,NEXTCH(%a0)
        swap    %d1                     | _CONCTRL 0: the character's word follows the mode
        moveq   #0,%d0
                                        | falls through into con

| DOS _CONCTRL: mode d0.w, argument d1.l; every register kept.
con:    movem.l %d0-%d7/%a0-%a6,-(%sp)
        move.l  %d1,-(%sp)
        move.w  %d0,-(%sp)
        .short  DOS_CONCTRL
        addq.l  #6,%sp
        movem.l (%sp)+,%d0-%d7/%a0-%a6
9:      rts

| The time line drawn into LINE from the pattern: CR, then the pattern with $01 as the time
| played (m:ss) and $02 as the pass; printed from its start on.
render: movem.l %d0-%d2/%a3-%a4,-(%sp)
        movea.l PATTERN(%a0),%a3
        lea     LINE(%a0),%a4
        move.b  #13,(%a4)+
1:      move.b  (%a3)+,%d0
        subq.b  #1,%d0
        beq.s   3f
        subq.b  #1,%d0
        beq.s   2f
        move.b  -1(%a3),(%a4)+
        bne.s   1b
        clr.w   NEXTCH(%a0)
        clr.b   DUE(%a0)
        movem.l (%sp)+,%d0-%d2/%a3-%a4
        rts
2:      moveq   #0,%d0
        move.w  (%a0),%d0               | PASS
        bsr.s   decimal
        bra.s   1b
3:      move.l  SECS(%a0),%d0
        divu    #60,%d0                 | minutes, and the seconds in the high word
        move.l  %d0,%d2
        andi.l  #0xFFFF,%d0
        bsr.s   decimal
        move.b  #':',(%a4)+
        clr.w   %d2
        swap    %d2
        divu    #10,%d2                 | the seconds' tens, and their units in the high word
        addi.b  #'0',%d2
        move.b  %d2,(%a4)+
        swap    %d2
        addi.b  #'0',%d2
        move.b  %d2,(%a4)+
        bra.s   1b

| d0.l (below 655360) in decimal digits at (a4)+.
decimal:
        divu    #10,%d0
        swap    %d0
        move.w  %d0,-(%sp)              | the last digit
        clr.w   %d0
        swap    %d0                     | the digits before it
        beq.s   1f
        bsr.s   decimal
1:      move.w  (%sp)+,%d0
        addi.b  #'0',%d0
        move.b  %d0,(%a4)+
        rts

| ---------------------------------------------------------------- ADPCM stop
| a1 = channel 3. The ADPCM stopped, the transfer aborted if it still runs, both sides muted
| and the channel's status cleared for the next start.
adpcmstop:
        move.b  #1,ADPCM_CMD
        btst    #3,(%a1)                | ACT
        beq.s   1f
        move.b  #0x10,CCR(%a1)          | software abort
1:      ori.b   #3,PPI_PORTC
        move.b  #0xFF,(%a1)             | CSR: every status bit cleared
        rts

| ---------------------------------------------------------------- register 1B
| d1 = $1B, d2 = the stream's value: bits 1-0 (LFO waveform) from it, bits 7-6 (CT1: ADPCM
| clock, CT2: floppy READY) as the system keeps them at $09DA; with drums CT1 clear, the ADPCM
| clock at 8 MHz. Written through opmw.
w1b:    andi.b  #0x03,%d2
        move.b  OPM_1B_COPY:w,%d0
        andi.b  #0xC0,%d0
        or.b    %d0,%d2
        move.l  %a2,%d0
        beq.s   opmw
        andi.b  #0x7F,%d2
        bra.s   opmw

| ---------------------------------------------------------------- LFO depths to 0
| AMD 0 (bit 7 clear), then PMD 0 (bit 7 set).
lfoquiet:
        moveq   #0x19,%d1
        moveq   #0,%d2
        bsr.s   opmw
        moveq   #-128,%d2
                                        | falls through: the PMD write returns to the caller

        .include "opm_poll.s"        | opmw and poll, as in vgmstub.s

| ---------------------------------------------------------------- keys
| A key (d0, from _B_KEYINP) in an album: space pauses; n the next track, p the one before (this
| one again from 3 s on), 1-9 that track (a key beyond the album is ignored), q or ESC quits,
| any other is ignored. In a song of its own any key quits. The callers of poll keep nothing in
| d0-d2.
finish: move.l  album(%pc),%d1
        beq     quit
        cmpi.b  #' ',%d0
        beq     pause
keyact: cmpi.b  #0x1B,%d0               | returns for a key it ignores
        beq     quit
        moveq   #0,%d1
        move.b  %d0,%d1
        subi.b  #'1',%d1
        cmpi.b  #8,%d1
        bhi.s   1f
        cmp.w   COUNT(%a0),%d1
        bcc.s   9f                      | beyond the album
        move.w  %d1,TRACK(%a0)
        bra.s   track
1:      ori.b   #0x20,%d0               | lower case
        cmpi.b  #'q',%d0
        beq     quit
        cmpi.b  #'n',%d0
        beq.s   songend
        cmpi.b  #'p',%d0
        bne.s   9f                      | back into the replay, where poll was called
        cmpi.l  #3,SECS(%a0)
        bcc.s   track
        tst.w   TRACK(%a0)
        beq.s   track
        subq.w  #1,TRACK(%a0)
        bra.s   track
9:      rts

| The end of a song: of the program, or of the album's track, after which the next plays
| (the first again after the last with the table's repeat flag). Between tracks the chip is
| left as at the end and the next track starts from its own registers.
songend:
        move.l  album(%pc),%d1
        beq.s   quit
        lea     start(%pc),%a4
        adda.l  %d1,%a4
        addq.w  #1,TRACK(%a0)
        move.w  TRACK(%a0),%d0
        cmp.w   (%a4),%d0
        bcs.s   track
        btst    #0,3(%a4)               | repeat
        beq.s   quit
        clr.w   TRACK(%a0)
track:  bsr.s   silence
        bsr.s   newline
        bsr     entry
        bsr     trackhead
        lea     -4(%a0),%sp             | the stack as at the start: a key leaves poll's frame
        moveq   #0,%d7                  | steps passed while printing are not waited for
        suba.l  %a4,%a4
        bra     next

| ---------------------------------------------------------------- end of replay
quit:   bsr.s   silence
        moveq   #0x14,%d1               | timers stopped, IRQEN off, flags cleared: /IRQ high
        moveq   #0x30,%d2
        bsr     opmw
        tst.b   %d4
        beq.s   3f
        bset    #3,MFP_IERB             | GPIP3 enabled again, as found
3:      bsr.s   newline
leave:  move.l  %a6,-(%sp)              | old SSP as the argument
        bmi.s   4f
        .short  DOS_SUPER               | back to user mode
4:      .short  DOS_EXIT                | exit status 0

| With a display, CR LF after the time line.
newline:
        tst.l   PATTERN(%a0)
        beq.s   9f
        lea     crlf(%pc),%a4
        move.l  %a4,%d1
        moveq   #1,%d0
        bra     con
9:      rts

| The chip as found: ADPCM stopped, keys off, noise off, LFO released and still, 1B as the
| system keeps it, every TL 127.
silence:
        move.l  %a2,%d0                 | with drums: the ADPCM stopped and muted first
        beq.s   5f
        bsr     adpcmstop
5:      moveq   #8,%d1                  | key off: register 8, no operator bits, channel 7..0
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
mute:   moveq   #0x60,%d1               | TL of slots 0-31 ($60-$7F) to 127
        moveq   #0x7F,%d2
2:      bsr     opmw
        addq.b  #1,%d1
        bpl.s   2b
        rts
crlf:   .byte   13, 10, 0, 0

| Space: the chip silent (the ADPCM stopped, every slot's TL 127, the envelopes and keys left
| as they are) and the time held (no step is counted) until space again, which writes back
| each TL as the stream left it. n, p, 1-9, q and ESC act as while playing.
pause:  move.l  %a2,%d0
        beq.s   1f
        bsr     adpcmstop
1:      bsr     mute
2:      movem.l %d1-%d7/%a0-%a6,-(%sp)  | the next key, waited for
        moveq   #IOCS_B_KEYINP,%d0
        trap    #15
        movem.l (%sp)+,%d1-%d7/%a0-%a6
        cmpi.b  #' ',%d0
        beq.s   3f
        bsr     keyact
        bra.s   2b
3:      moveq   #0x60,%d1
4:      move.b  TLS-0x60(%a0,%d1.w),%d2
        bsr     opmw
        addq.b  #1,%d1
        bpl.s   4b
        moveq   #0x14,%d1               | F-RESET A: an overflow of the pause is no step
        moveq   #0x15,%d2
        bra     opmw

| ---------------------------------------------------------------- album
| The entry of track TRACK: a3 its stream, d0 its display block's text offset, d1 its passes;
| then its screen.
entry:  move.l  album(%pc),%d0
        lea     start(%pc),%a3
        adda.l  %d0,%a3
        move.w  TRACK(%a0),%d0
        mulu    #12,%d0
        lea     4(%a3,%d0.l),%a4
        lea     start(%pc),%a3
        adda.l  (%a4),%a3
        move.l  4(%a4),%d0
        move.w  8(%a4),%d1
                                        | falls through

| With the album's display block (its header: the keys' line, then a line a track, each ended
| by CR LF): the screen erased, the keys' line at the top, then LIST_LINES lines of the track
| list around the track playing, marked with '>' over its first column. d0, d1 and a3 kept.
listwindow:
        move.l  display(%pc),%d2
        beq.s   9f
        movem.l %d0-%d1/%a3,-(%sp)
        moveq   #10,%d0                 | _CONCTRL 10, 2: the whole screen erased
        moveq   #2,%d1
        swap    %d1
        bsr     con
        moveq   #3,%d0                  | _CONCTRL 3: the cursor to column 0, row 0
        moveq   #0,%d1
        bsr     con
        lea     start(%pc),%a3
        adda.l  %d2,%a3
        bsr.s   line                    | the keys
        move.w  TRACK(%a0),%d2          | the first line: half a window before the track, at
        subi.w  #LIST_LINES/2,%d2       | most the last window's, at least the first track
        move.w  COUNT(%a0),%d3
        subi.w  #LIST_LINES,%d3
        cmp.w   %d3,%d2
        ble.s   1f
        move.w  %d3,%d2
1:      tst.w   %d2
        bpl.s   2f
        moveq   #0,%d2
2:      move.w  %d2,%d3
        bra.s   4f
3:      tst.b   (%a3)                   | a line passed over, up to its LF (never past the
        beq.s   4f                      | header's NUL)
        cmpi.b  #10,(%a3)+
        bne.s   3b
4:      dbra    %d2,3b
        moveq   #LIST_LINES-1,%d2
5:      tst.b   (%a3)
        beq.s   8f                      | the list's end
        cmp.w   TRACK(%a0),%d3
        bne.s   6f
        moveq   #'>',%d1                | _CONCTRL 0: the mark, over the line's first column
        swap    %d1
        moveq   #0,%d0
        bsr     con
        addq.l  #1,%a3
6:      bsr.s   line
        addq.w  #1,%d3
        dbra    %d2,5b
8:      movem.l (%sp)+,%d0-%d1/%a3
9:      rts

| The line at a3, up to its LF (at most 120 bytes), copied into LINE with a NUL and printed
| (_CONCTRL 1); a3 past it, or on the header's NUL.
line:   lea     LINE(%a0),%a4
        moveq   #119,%d0
1:      move.b  (%a3),%d1
        beq.s   2f
        addq.l  #1,%a3
        move.b  %d1,(%a4)+
        cmpi.b  #10,%d1
        dbeq    %d0,1b
2:      clr.b   (%a4)
        lea     LINE(%a0),%a4
        move.l  %a4,%d1
        moveq   #1,%d0
        bra     con

| A track's start: its passes (d1), its header printed from its display block (d0, 0: none)
| and its time line drawn; a3 kept.
trackhead:
        move.w  %d1,LOOPS(%a0)
        move.l  #0x00010000,(%a0)       | PASS 1, nothing due
        clr.l   UNITS(%a0)
        clr.l   SECS(%a0)
        clr.l   PATTERN(%a0)            | (render sets NEXTCH)
        lea     TLS+32(%a0),%a4         | every TL 127 until the stream writes it
        moveq   #31,%d2
1:      move.b  #0x7F,-(%a4)
        dbra    %d2,1b
        tst.l   %d0
        beq.s   9f
        lea     start(%pc),%a4
        adda.l  %d0,%a4
        move.l  %a4,%d1
        moveq   #1,%d0                  | _CONCTRL 1: print a string
        bsr     con
1:      tst.b   (%a4)+                  | the pattern follows the header's NUL
        bne.s   1b
        move.l  %a4,PATTERN(%a0)
        bsr     render
9:      rts

| d1 is an even text offset from the player's end up to d2 (not included), or the program
| leaves at once.
within: btst    #0,%d1
        bne.s   bad
        cmpi.l  #stream-start,%d1
        bcs.s   bad
        cmp.l   %d2,%d1
        bcc.s   bad
        rts
bad:    bra     leave

| An album's opening (d2 its table's text offset, d0 its display block's): the table checked
| before anything is read from it (inside the text, which ends 12 bytes, the data section,
| below the bss and its variables at the top; 1 to 999 tracks; every offset within), the
| first track's entry taken and its screen drawn.
opening:
        move.l  %d2,%d1
        lea     VARS-STACK_SIZE-12(%a0),%a1     | the end of the text
        move.l  %a1,%d2
        lea     start(%pc),%a4
        sub.l   %a4,%d2
        bsr.s   within                  | the table's offset: a word of it at least is text
        move.l  %d1,%d2
        adda.l  %d2,%a4
        lea     4(%a4),%a2
        move.w  (%a4)+,%d3              | tracks
        beq.s   bad
        cmpi.w  #999,%d3
        bhi.s   bad
        move.w  %d3,COUNT(%a0)
        move.w  %d3,%d1
        mulu    #12,%d1
        adda.l  %d1,%a2
        cmpa.l  %a1,%a2                 | the whole table in the text
        bhi.s   bad
        addq.l  #2,%a4                  | flags
        subq.w  #1,%d3
4:      move.l  (%a4)+,%d1              | stream
        bsr.s   within
        move.l  (%a4)+,%d1              | display, 0: none
        beq.s   5f
        bsr.s   within
5:      addq.l  #4,%a4                  | passes, spare
        dbra    %d3,4b
        move.l  %d0,%d1                 | the album's display block, 0: none
        beq.s   6f
        bsr.s   within
6:      bra     entry
codeend:
        .org    1664                    | fails to assemble if the code is longer than 1600 bytes

| ---------------------------------------------------------------- data section (12 bytes)
| The stream of a song starts here; in the bare player the first pair is the end marker.
stream: .byte   0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF
stubend:
