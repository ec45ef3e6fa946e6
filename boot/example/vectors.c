/* The vector table at the start of flash, and the handlers the example
   needs: reset runs main and exits with its status, a fault exits with 2. */
#include "semihosting.h"

int main(void);

extern const char stack_top[]; /* the end of RAM, from flash.ld */

/* Under QEMU, RAM starts zeroed and this program has no initialised data;
   a real board's reset handler first copies .data and zeroes .bss. */
static void reset(void)
{
    semihosting_exit(main());
}

/* A Cortex-M0 faults on an unaligned word load, among others. */
static void hard_fault(void)
{
    semihosting_write("HardFault\n");
    semihosting_exit(2);
}

/* Word 0 is the initial stack pointer, then reset, NMI and HardFault. */
struct vector_table {
    const void *stack_pointer;
    void (*handler[3])(void);
};
__attribute__((section(".vectors"), used)) static const struct vector_table vectors = {
    stack_top, {reset, hard_fault, hard_fault}};
