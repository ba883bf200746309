# Stand-in for the legacy fingerprint module: a 16-bit real-mode routine that travels in
# FingerprintAuthDxe's firmware file and that the driver copies to physical 0x40000 and calls
# through Legacy BIOS FarCall86 at 4000:0003, with DS:BX = 3000:1000 pointing at the fingerprint
# request block.
#
# This stand-in drives no reader and keeps no passwords. It reads the block header, answers in
# AX and returns with a far return:
#
#   AX = 0  request 5 (module ready), 3 (hard-disk mapping reset: nothing is mapped) and
#           4 (end of a system-password run)
#   AX = 1  request 0 (no finger can be read: no reader is driven) and 1 (no password storage)
#   AX = 2  any other request code
#   AX = 3  the block header is not {UINT16 2, UINT16 88}
#
# It never answers 0xFFFF (busy), so a host never has to repeat a request. It only reads the
# block, and every register other than AX and the flags is returned unchanged.
#
# Image layout: offset 0 is a 3-byte near jump over the header to the dispatcher, offset 3 is
# the entry the host calls (a 3-byte near jump to the same dispatcher), offset 6 is the header:
# signature "FPMS", version 1.0, image length in bytes.

  .code16
  .text
  .globl LegacyModuleStart
LegacyModuleStart:
  .byte 0xE9                          # jmp near Dispatch (rel16 from offset 3)
  .word Dispatch - (. + 2)
ModuleEntry:
  .byte 0xE9                          # jmp near Dispatch (rel16 from offset 6)
  .word Dispatch - (. + 2)
ModuleHeader:
  .ascii "FPMS"
  .byte 1, 0
  .word ModuleEnd - LegacyModuleStart

Dispatch:
  cmpw $2, (%bx)                      # block header: UINT16 2, UINT16 88
  jne BadBlock
  cmpw $88, 2(%bx)
  jne BadBlock
  movb 4(%bx), %al                    # request code
  cmpb $5, %al
  je Done
  cmpb $3, %al
  je Done
  cmpb $4, %al
  je Done
  cmpb $0, %al
  je NotAvailable
  cmpb $1, %al
  je NotAvailable
  movw $2, %ax                        # unknown request
  lretw
Done:
  xorw %ax, %ax
  lretw
NotAvailable:
  movw $1, %ax
  lretw
BadBlock:
  movw $3, %ax
  lretw
ModuleEnd:
