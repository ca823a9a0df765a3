/* A faulty layout: bank B's block is placed over bank A's code. Linked with
   --no-check-sections, so that the linker lets it through. */
MEMORY {
  BANK_A (rx) : ORIGIN = 0x1A000000, LENGTH = 512K
  RAM (rwx)   : ORIGIN = 0x10000000, LENGTH = 32K
}
ENTRY(Reset_Handler)
SECTIONS {
  .text : { KEEP(*(.vectors)) *(.text*) *(.rodata*) } > BANK_A
  .data : { __data_start__ = .; *(.data*) __data_end__ = .; } > RAM AT > BANK_A
  __data_load__ = LOADADDR(.data);
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) __bss_end__ = .; } > RAM
  .bank_a_late 0x1A002000 : { KEEP(*(.bank_a_late)) }
  .bank_b 0x1A000010 : AT(0x1A000010) { *(.bank_b_text) *(.bank_b_rodata) }
  __stack_top__ = ORIGIN(RAM) + LENGTH(RAM);
  /DISCARD/ : { *(.ARM.exidx*) *(.comment) }
}
