/* Both flash banks full (2 x 512 KiB) of pseudo-random words (xorshift32),
   for the packing benchmark and the large-file tests. */
  .syntax unified
  .macro fill_bank seed
  .set x, \seed
  .rept 131072
  .set x, (x ^ (x << 13)) & 0xFFFFFFFF
  .set x, x ^ (x >> 17)
  .set x, (x ^ (x << 5)) & 0xFFFFFFFF
  .word x
  .endr
  .endm

  .section .bank_a_fill, "a"
  .global Reset_Handler
Reset_Handler:
  fill_bank 0x2545F491

  .section .bank_b_fill, "a"
  fill_bank 0x9E3779B9
