// Hardware access primitives of the firmware build (Microsoft x64 convention: first argument
// in RCX, second in RDX, result in RAX). Each function issues exactly one access of the named
// width. The access instruction of every function is fixed, so that a debugger, a trace or
// the simulated board can tell the access from the instruction bytes alone:
//   IoReadN    port in DX          in    (%dx),%al / %ax / %eax      EC / 66 ED / ED
//   IoWriteN   port in DX, value   out   %al / %ax / %eax,(%dx)      EE / 66 EF / EF
//   MmioReadN  address in RCX      mov (%rcx),%al / %ax / %eax       8A 01 / 66 8B 01 / 8B 01
//   MmioWriteN address in RCX      mov %al / %ax / %eax,(%rcx)       88 01 / 66 89 01 / 89 01
//   CpuDeadLoop                    cli; hlt                          FA F4
// Memory-mapped accesses move their data through AL, AX or EAX with a plain MOV: AMD processors
// of family 10h and later carry out a PCI Express configuration access through the ECAM window
// only in that form (no MOVZX, no other data register). The reads clear EAX first, so that the
// whole result register holds the value read.
// Each function sits in a section of its own, a COMDAT keyed on its symbol, so that the linker
// (/opt:ref) drops every function an image does not call.

    .section .text$IoRead8,"xr",one_only,IoRead8
    .globl IoRead8
IoRead8:
    movl    %ecx, %edx
    xorl    %eax, %eax
    inb     %dx, %al
    ret

    .section .text$IoRead16,"xr",one_only,IoRead16
    .globl IoRead16
IoRead16:
    movl    %ecx, %edx
    xorl    %eax, %eax
    inw     %dx, %ax
    ret

    .section .text$IoRead32,"xr",one_only,IoRead32
    .globl IoRead32
IoRead32:
    movl    %ecx, %edx
    inl     %dx, %eax
    ret

    .section .text$IoWrite8,"xr",one_only,IoWrite8
    .globl IoWrite8
IoWrite8:
    movl    %edx, %eax
    movl    %ecx, %edx
    outb    %al, %dx
    ret

    .section .text$IoWrite16,"xr",one_only,IoWrite16
    .globl IoWrite16
IoWrite16:
    movl    %edx, %eax
    movl    %ecx, %edx
    outw    %ax, %dx
    ret

    .section .text$IoWrite32,"xr",one_only,IoWrite32
    .globl IoWrite32
IoWrite32:
    movl    %edx, %eax
    movl    %ecx, %edx
    outl    %eax, %dx
    ret

    .section .text$MmioRead8,"xr",one_only,MmioRead8
    .globl MmioRead8
MmioRead8:
    xorl    %eax, %eax
    movb    (%rcx), %al
    ret

    .section .text$MmioRead16,"xr",one_only,MmioRead16
    .globl MmioRead16
MmioRead16:
    xorl    %eax, %eax
    movw    (%rcx), %ax
    ret

    .section .text$MmioRead32,"xr",one_only,MmioRead32
    .globl MmioRead32
MmioRead32:
    movl    (%rcx), %eax
    ret

    .section .text$MmioWrite8,"xr",one_only,MmioWrite8
    .globl MmioWrite8
MmioWrite8:
    movl    %edx, %eax
    movb    %al, (%rcx)
    ret

    .section .text$MmioWrite16,"xr",one_only,MmioWrite16
    .globl MmioWrite16
MmioWrite16:
    movl    %edx, %eax
    movw    %ax, (%rcx)
    ret

    .section .text$MmioWrite32,"xr",one_only,MmioWrite32
    .globl MmioWrite32
MmioWrite32:
    movl    %edx, %eax
    movl    %eax, (%rcx)
    ret

    .section .text$CpuDeadLoop,"xr",one_only,CpuDeadLoop
    .globl CpuDeadLoop
CpuDeadLoop:
    cli
1:
    hlt
    jmp     1b
