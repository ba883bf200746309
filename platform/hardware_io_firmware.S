// Hardware access primitives of the firmware build (Microsoft x64 convention: first argument
// in RCX, second in RDX, result in RAX). Each function issues exactly one access of the named
// width. The access instruction of every function is fixed, so that a debugger, a trace or
// the simulated board can tell the access from the instruction bytes alone:
//   IoReadN    port in DX          in    (%dx),%al / %ax / %eax      EC / 66 ED / ED
//   IoWriteN   port in DX, value   out   %al / %ax / %eax,(%dx)      EE / 66 EF / EF
//   MmioReadN  address in RCX      movzbl / movzwl / movl (%rcx)     0F B6 01 / 0F B7 01 / 8B 01
//   MmioWriteN address in RCX      movb / movw / movl %dl..,(%rcx)   88 11 / 66 89 11 / 89 11
//   CpuDeadLoop                    cli; hlt                          FA F4

    .text

    .globl IoRead8
    .p2align 4
IoRead8:
    movl    %ecx, %edx
    xorl    %eax, %eax
    inb     %dx, %al
    ret

    .globl IoRead16
    .p2align 4
IoRead16:
    movl    %ecx, %edx
    xorl    %eax, %eax
    inw     %dx, %ax
    ret

    .globl IoRead32
    .p2align 4
IoRead32:
    movl    %ecx, %edx
    inl     %dx, %eax
    ret

    .globl IoWrite8
    .p2align 4
IoWrite8:
    movl    %edx, %eax
    movl    %ecx, %edx
    outb    %al, %dx
    ret

    .globl IoWrite16
    .p2align 4
IoWrite16:
    movl    %edx, %eax
    movl    %ecx, %edx
    outw    %ax, %dx
    ret

    .globl IoWrite32
    .p2align 4
IoWrite32:
    movl    %edx, %eax
    movl    %ecx, %edx
    outl    %eax, %dx
    ret

    .globl MmioRead8
    .p2align 4
MmioRead8:
    movzbl  (%rcx), %eax
    ret

    .globl MmioRead16
    .p2align 4
MmioRead16:
    movzwl  (%rcx), %eax
    ret

    .globl MmioRead32
    .p2align 4
MmioRead32:
    movl    (%rcx), %eax
    ret

    .globl MmioWrite8
    .p2align 4
MmioWrite8:
    movb    %dl, (%rcx)
    ret

    .globl MmioWrite16
    .p2align 4
MmioWrite16:
    movw    %dx, (%rcx)
    ret

    .globl MmioWrite32
    .p2align 4
MmioWrite32:
    movl    %edx, (%rcx)
    ret

    .globl CpuDeadLoop
    .p2align 4
CpuDeadLoop:
    cli
1:
    hlt
    jmp     1b
