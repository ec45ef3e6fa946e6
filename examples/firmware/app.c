/* The application that the loader starts: it says which version it is and
   which slot it was linked for, then ends the run. It takes no interrupt: a
   Cortex-M0 cannot move its vector table, so the loader's stays in use
   (imgseal-firmware(7) tells how a loader forwards interrupts). */
#include <stdint.h>

#include "semihosting.h"

/* APP_VERSION and APP_SLOT come from CMakeLists.txt. */
#define TEXT(x) #x
#define STRING(x) TEXT(x)

/* Settings kept in flash, zero until set. Most firmware holds such runs of
   zeros, which the seal's 16-bit sum cannot tell from erased flash; the link
   puts these last in the image. */
__attribute__((section(".settings"), used)) static const uint8_t settings[4096] = {0};

int main(void)
{
    semihosting_write("application " STRING(APP_VERSION) " running in slot " STRING(APP_SLOT) "\n");
    return settings[0];
}

extern const char stack_top[]; /* the end of RAM, from the link */

/* Under QEMU RAM starts zeroed and the program has no initialised data; a
   real board's reset handler first copies .data and zeroes .bss. */
static void reset(void)
{
    semihosting_exit(main());
}

/* The table that the loader reads: word 0 the initial stack pointer, word 1
   the reset handler. The rest would serve a core that has a VTOR. */
__attribute__((section(".vectors"), used)) static const struct {
    const void *stack_pointer;
    void (*reset)(void);
} vectors = {stack_top, reset};
