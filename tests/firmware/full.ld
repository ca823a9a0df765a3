ENTRY(Reset_Handler)
SECTIONS {
  .bank_a 0x1A000000 : { KEEP(*(.bank_a_fill)) }
  .bank_b 0x1B000000 : { KEEP(*(.bank_b_fill)) }
}
