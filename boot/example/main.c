/* An example boot program: checks the images in its flash with both forms of
   imgseal_check and reports each verdict through semihosting. Its exit
   status is 0 when every verdict is the expected one. */
#include <stddef.h>
#include <stdint.h>

#include "imgseal_check.h"
#include "semihosting.h"

extern const uint8_t sealed_image[], sealed_image_end[];
extern const uint8_t changed_image[], changed_image_end[];
extern const uint8_t unsealed_image[], unsealed_image_end[];
extern const uint8_t odd_image[], odd_image_end[];

/* In hex: decimal would need a division, which the M0 does in a library. */
static void write_hex(uint32_t value)
{
    char text[11];
    int i;

    text[0] = '0';
    text[1] = 'x';
    for (i = 0; i < 8; ++i)
        text[2 + i] = "0123456789ABCDEF"[value >> (28 - 4 * i) & 0xFu];
    text[10] = '\0';
    semihosting_write(text);
}

/* Prints the verdict; returns 1 when it is not the expected one. */
static int report(const char *what, enum imgseal_check_result got, uint32_t length,
                   enum imgseal_check_result expected)
{
    semihosting_write(what);
    semihosting_write(": ");
    semihosting_write(imgseal_check_result_name(got));
    if (got == IMGSEAL_CHECK_OK) {
        semihosting_write(", length ");
        write_hex(length);
    }
    if (got != expected) {
        semihosting_write(" (expected ");
        semihosting_write(imgseal_check_result_name(expected));
        semihosting_write(")");
    }
    semihosting_write("\n");
    return got != expected;
}

static uint32_t size_of(const uint8_t *start, const uint8_t *end)
{
    return (uint32_t)(end - start);
}

/* The image as a serial link would deliver it: in pieces of 1, 3, 5 and 7
   bytes in turn, all at odd distances from one another. */
static enum imgseal_check_result check_in_pieces(const uint8_t *image, uint32_t size,
                                                 uint32_t *length)
{
    struct imgseal_check check;
    uint32_t at = 0, piece = 1;

    imgseal_check_begin(&check);
    while (at < size) {
        uint32_t n = piece < size - at ? piece : size - at;
        imgseal_check_feed(&check, image + at, n);
        at += n;
        piece = piece == 7u ? 1u : piece + 2u;
    }
    return imgseal_check_end(&check, length);
}

int main(void)
{
    uint32_t sealed_size = size_of(sealed_image, sealed_image_end);
    uint32_t length = 0;
    enum imgseal_check_result got;
    int failures = 0;
    const uint8_t *odd_address = odd_image;

    /* Hide where the odd image is: a compiler that sees an unaligned word
       load may split it into byte loads by itself. */
    __asm__("" : "+r"(odd_address));

#ifdef UNALIGNED_WORD_LOAD
    /* Shows the core's behaviour: the Cortex-M0 faults here, the M3 does not. */
    semihosting_write("an unaligned word load: ");
    write_hex(*(const volatile uint32_t *)(const volatile void *)(odd_address + 4));
    semihosting_write("\n");
#endif
#if defined(__ARM_ARCH_7M__) || defined(__ARM_ARCH_7EM__)
    /* Trap unaligned access, as much firmware does, so that the checks below
       show that the routine reads the image a byte at a time on this core
       too; a Cortex-M0 always traps it. CCR.UNALIGN_TRP. */
    *(volatile uint32_t *)0xE000ED14u |= 1u << 3;
#endif
    got = imgseal_check_memory(sealed_image, sealed_size, &length);
    failures += report("sealed", got, length, IMGSEAL_CHECK_OK);
    got = imgseal_check_memory(changed_image, size_of(changed_image, changed_image_end), &length);
    failures += report("a byte changed", got, length, IMGSEAL_CHECK_BAD_CHECKSUM);
    got = imgseal_check_memory(unsealed_image, size_of(unsealed_image, unsealed_image_end),
                               &length);
    failures += report("unsealed", got, length, IMGSEAL_CHECK_NOT_SEALED);
    got = imgseal_check_memory(sealed_image, sealed_size - 2u, &length);
    failures += report("sealed, in a slot 2 bytes short", got, length, IMGSEAL_CHECK_BAD_LENGTH);
    got = imgseal_check_memory(odd_address, size_of(odd_image, odd_image_end), &length);
    failures += report("at an odd address", got, length, IMGSEAL_CHECK_OK);
    got = check_in_pieces(odd_address, size_of(odd_image, odd_image_end), &length);
    failures += report("at an odd address, in odd pieces", got, length, IMGSEAL_CHECK_OK);

    semihosting_write(failures == 0 ? "every verdict as expected\n" : "FAILED\n");
    return failures == 0 ? 0 : 1;
}
