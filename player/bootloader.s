| bootloader.s - boot sector code of an opmcast data disk (a 2HD floppy without Human68k), 68000.
|
| When the X68000 is started with such a disk in a floppy drive, its IPL ROM reads sector 0
| (1024 bytes) to $2000 and jumps there in supervisor mode. Sector 0 begins with a bra.s over the
| "X68IPL30" name and the BPB to byte $3E, where this code is put. It is position-independent (only
| PC-relative references to itself), so it runs wherever it is loaded, and it must stay within the
| 962 bytes from $3E to the end of the sector.
|
| It sets the 768 x 512 screen mode (which also clears the text screen), prints through the IOCS
| (trap #15, run by the ROM without any system) that the disk holds no system and how to play it
| from Human68k, then waits in a loop for the user to restart the machine (RESET button or power).
| It does not restart the machine itself on a key: jumping to the ROM's reset entry (its vectors
| at $FF0000) without a hardware reset booted again on MAME only for some key timings; for others
| the IPL ROM stopped with a message of its own instead of reading the disk.

        .text
        .globl  start

IOCS_CRTMOD     = 0x10          | d1.w = screen mode (16: 768 x 512); clears the text screen
IOCS_B_PRINT    = 0x21          | a1 = NUL-terminated string, printed at the cursor

start:
        move.w  #0x2000,%sr             | supervisor, interrupts on
        move.w  #16,%d1
        moveq   #IOCS_CRTMOD,%d0
        trap    #15
        lea     message(%pc),%a1
        moveq   #IOCS_B_PRINT,%d0
        trap    #15
        | Stay here until the machine is restarted by its RESET button or power switch. Stop
        | waits for an interrupt with them enabled (the ROM's keyboard and timer handlers go on
        | running), then loops back.
idle:
        stop    #0x2000
        bra.s   idle

message:
        .ascii  "\r\n"
        .ascii  "This disk holds music made by opmcast. It is a data disk, not a system disk:\r\n"
        .ascii  "the X68000 cannot start from it.\r\n"
        .ascii  "\r\n"
        .ascii  "To play the music:\r\n"
        .ascii  "  1. Start Human68k from a system disk in drive 0 (A:).\r\n"
        .ascii  "  2. Put this disk in drive 1 (B:).\r\n"
        .ascii  "  3. Type DIR B: to see the .X program on this disk, then B:NAME\r\n"
        .ascii  "     (NAME being that program's name) and press RETURN.\r\n"
        .ascii  "\r\n"
        .ascii  "Put a system disk in drive 0 and press RESET (or switch the X68000 off and on).\r\n"
        .byte   0
        .balign 2
codeend:
