/* A faulty layout: the initialised data has no load address in flash, so
   its bytes are to be loaded straight into RAM. */
MEMORY {
  BANK_A (rx) : ORIGIN = 0x1A000000, LENGTH = 512K
  BANK_B (rx) : ORIGIN = 0x1B000000, LENGTH = 512K
  RAM (rwx)   : ORIGIN = 0x10000000, LENGTH = 32K
}
ENTRY(Reset_Handler)
SECTIONS {
  .text : { KEEP(*(.vectors)) *(.text*) *(.rodata*) } > BANK_A
  .data : { __data_start__ = .; *(.data*) __data_end__ = .; } > RAM
  __data_load__ = LOADADDR(.data);
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) __bss_end__ = .; } > RAM
  .bank_a_late 0x1A002000 : { KEEP(*(.bank_a_late)) } > BANK_A
  .bank_b : { *(.bank_b_text) *(.bank_b_rodata) } > BANK_B
  __stack_top__ = ORIGIN(RAM) + LENGTH(RAM);
  /DISCARD/ : { *(.ARM.exidx*) *(.comment) }
}
