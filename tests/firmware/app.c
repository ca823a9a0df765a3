// A tiny Cortex-M4 program for the build output tests: code, constants and
// initialised data in flash bank A (with a second block further up the
// bank), code and a table in flash bank B. It is never run; its linked
// image is what the readers are checked against.
#include <stdint.h>

extern uint32_t __data_load__, __data_start__, __data_end__, __bss_start__, __bss_end__;
extern uint32_t __stack_top__;

void Reset_Handler(void);

static void Default_Handler(void) {
  for (;;) {
  }
}

__attribute__((section(".vectors"), used)) static void (*const vectors[16])(void) = {
    (void (*)(void)) & __stack_top__,
    Reset_Handler,
    Default_Handler,
    Default_Handler,
};

volatile uint32_t counter = 0x12345678u;
uint32_t scratch[16];
static const char greeting[] = "Quelmar test firmware, bank A";

__attribute__((section(".bank_b_text"), noinline)) uint32_t Mix(uint32_t x) {
  return (x * 2654435761u) ^ (x >> 13);
}

__attribute__((section(".bank_b_rodata"))) const uint8_t table_b[300] = {
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

__attribute__((section(".bank_a_late"), used))
const uint32_t late_words[8] = {0xDEADBEEFu, 0xCAFEF00Du, 1, 2, 3, 4, 5, 6};

void Reset_Handler(void) {
  const uint32_t* src = &__data_load__;
  for (uint32_t* dst = &__data_start__; dst < &__data_end__;) *dst++ = *src++;
  for (uint32_t* dst = &__bss_start__; dst < &__bss_end__;) *dst++ = 0;
  for (;;) {
    counter = Mix(counter + (uint32_t)greeting[counter & 15] + table_b[counter % 300]);
    scratch[counter & 15] = counter;
  }
}
