/* The two semihosting calls the example makes. On M-profile cores the call
   is `bkpt 0xAB`, with the operation in r0 and its argument in r1. */
#include <stdint.h>

#include "semihosting.h"

#define SYS_WRITE0 0x04u
#define SYS_EXIT_EXTENDED 0x20u
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u

static void semihosting_call(uint32_t operation, const void *argument)
{
    register uint32_t r0 __asm__("r0") = operation;
    register const void *r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
}

void semihosting_write(const char *text)
{
    semihosting_call(SYS_WRITE0, text);
}

/* On 32-bit ARM plain SYS_EXIT carries no status; the extended call does. */
void semihosting_exit(int status)
{
    const uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, (uint32_t)status};
    semihosting_call(SYS_EXIT_EXTENDED, block);
    for (;;) {
    }
}
