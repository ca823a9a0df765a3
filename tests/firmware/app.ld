/* The LPC43xx's two flash banks and its local RAM. Gaps inside sections
   are filled with 0xFF, as erased flash reads. */
MEMORY {
  BANK_A (rx) : ORIGIN = 0x1A000000, LENGTH = 512K
  BANK_B (rx) : ORIGIN = 0x1B000000, LENGTH = 512K
  RAM (rwx)   : ORIGIN = 0x10000000, LENGTH = 32K
}
ENTRY(Reset_Handler)
SECTIONS {
  .text : { KEEP(*(.vectors)) *(.text*) *(.rodata*) . = ALIGN(4); } > BANK_A =0xFF
  /* Runs from RAM, loaded from bank A: placed by its physical address. */
  .data : { __data_start__ = .; *(.data*) . = ALIGN(4); __data_end__ = .; } > RAM AT > BANK_A
  __data_load__ = LOADADDR(.data);
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) . = ALIGN(4); __bss_end__ = .; } > RAM
  /* A second block in bank A, leaving a gap after the first. */
  .bank_a_late 0x1A002000 : { KEEP(*(.bank_a_late)) } > BANK_A =0xFF
  .bank_b : { *(.bank_b_text) *(.bank_b_rodata) } > BANK_B =0xFF
  __stack_top__ = ORIGIN(RAM) + LENGTH(RAM);
  /DISCARD/ : { *(.ARM.exidx*) *(.comment) }
}
