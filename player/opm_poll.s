| opm_poll.s - the OPM register write and the timer poll shared by vgmstub.s and fullplayer.s,
| included where each player has them. Registers as the players describe them: a5 = $E90001,
| d1/d2 register and value, d5/d6/d7 the overflow count, the 160/441 remainder and the elapsed
| units of wait. opmw comes first: the routine just before the include in fullplayer.s falls
| through into it.
|
| The including player sets WAIT_IN_OVERFLOWS before the .include: 1 when its waits count
| timer A overflows (the full player: d7 counts every overflow, a fifth of a tick), 0 when they
| count ticks (the classic player: d7 counts every fifth overflow). Both keep the same timer,
| the same 160/441 correction per group of five overflows and one key check per tick.
        .ifndef WAIT_IN_OVERFLOWS
        .error  "set WAIT_IN_OVERFLOWS to 0 or 1 before including opm_poll.s"
        .endif
|
| ---------------------------------------------------------------- OPM register write
| d1 = register number, d2 = value. The chip takes no new write while BUSY (status bit 7) is
| set, about 16 us after each data write.
opmw:   tst.b   2(%a5)
        bmi.s   opmw
        move.b  %d1,(%a5)
        move.b  %d2,2(%a5)
        rts

| ---------------------------------------------------------------- timer poll
| Called between stream pairs and while waiting. Each timer A overflow sets status bit 0, which
| stays set until F-RESET A; one overflow lasts 3.568 ms, far longer than one pair takes, so
| none is missed.
poll:   btst    #0,2(%a5)
        beq.s   9f
        moveq   #0x14,%d1               | F-RESET A with IRQEN A and LOAD A kept: clears the
        moveq   #0x15,%d2               | flag; LOAD A already set does not restart the timer
        bsr     opmw
        .if     WAIT_IN_OVERFLOWS
        addq.l  #1,%d7                  | a step has elapsed
        .endif
        addq.b  #1,%d5                  | overflow number within the group of five
        moveq   #0x11,%d1
        cmpi.b  #2,%d5
        bhi.s   3f
        beq.s   2f
        addi.w  #160,%d6                | 1st overflow: does this group need 1116 units?
        cmpi.w  #441,%d6
        bcs.s   9f
        subi.w  #441,%d6
        moveq   #0,%d2                  | yes: NA = 800 for the 3rd period
        bra.s   opmw
2:      cmpi.w  #160,%d6                | 2nd overflow: a remainder below 160 means the 3rd
        bcc.s   9f                      | period is the long one
        moveq   #1,%d2                  | NA = 801 again from the 4th period on
        bra.s   opmw
3:      cmpi.b  #5,%d5
        bne.s   9f
        moveq   #0,%d5                  | 5th overflow: a tick has elapsed
        .ifeq   WAIT_IN_OVERFLOWS
        addq.l  #1,%d7
        .endif
        movem.l %d1-%d7/%a0-%a6,-(%sp)  | once per tick: has a key been pressed?
        moveq   #IOCS_B_KEYSNS,%d0
        trap    #15
        tst.l   %d0
        beq.s   4f
        moveq   #IOCS_B_KEYINP,%d0      | yes: take it out of the buffer
        trap    #15
        .if     WAIT_IN_OVERFLOWS
        tst.l   %d0                     | the full player reads the key (d0, never 0)
        .else
        moveq   #1,%d0
        .endif
4:      movem.l (%sp)+,%d1-%d7/%a0-%a6  | (movem into registers keeps the flags)
        bne.s   finish
9:      rts

