/* An example boot program: checks the images in its flash with both forms of
   imgseal_check, and the slots of an external flash read through a driver,
   and reports each verdict through semihosting. Its exit status is 0 when
   every verdict, and every count of bytes read, is the expected one. Built
   with IMGSEAL_CHECK_CRC set to 0 (EXTRA_CFLAGS), it shows what the seal
   alone passes: the images with erased zeros, which the CRC refuses. */
#include <stddef.h>
#include <stdint.h>

#include "imgseal_check.h"
#include "semihosting.h"

extern const uint8_t sealed_image[], sealed_image_end[];
extern const uint8_t changed_image[], changed_image_end[];
extern const uint8_t unsealed_image[], unsealed_image_end[];
extern const uint8_t odd_image[], odd_image_end[];
extern const uint8_t packed_image[], packed_image_end[];
extern const uint8_t tail_erased_image[], tail_erased_image_end[];
extern const uint8_t page_erased_image[], page_erased_image_end[];
extern const uint8_t external_flash[];

/* The external flash's slots (images.S), 4 KiB each, and the largest piece
   that its driver reads at a time. */
#define SLOT_SIZE 0x1000u
#define PIECE_SIZE 256u
/* Its slots from 0x5000 on, for images that carry a CRC. */
#define CRC_SLOT_SIZE 0x4000u

/* What the seal alone cannot see, the CRC refuses; a build without the CRC
   passes it. */
#if defined(IMGSEAL_CHECK_CRC) && IMGSEAL_CHECK_CRC == 0
#define UNPROGRAMMED IMGSEAL_CHECK_OK
#else
#define UNPROGRAMMED IMGSEAL_CHECK_BAD_CRC
#endif

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

/* Prints the verdict, without ending the line; returns 1 when it is not the
   expected one. */
static int write_verdict(const char *what, enum imgseal_check_result got, uint32_t length,
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
    return got != expected;
}

static int report(const char *what, enum imgseal_check_result got, uint32_t length,
                  enum imgseal_check_result expected)
{
    int failed = write_verdict(what, got, length, expected);

    semihosting_write("\n");
    return failed;
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

/* Stands in for an SPI or QSPI flash driver's read: copies size bytes from
   the external flash at address. Here that flash is an array in the
   example's own flash. */
static void spi_flash_read(uint32_t address, uint8_t *buffer, uint32_t size)
{
    const uint8_t *from = external_flash + address;

    while (size-- != 0u)
        *buffer++ = *from++;
}

/* The slot at address in the external flash, read a piece at a time, and
   only as far as imgseal_check_needed() asks: the image and no more, or
   less where its header or descriptor already decides. The bytes read are
   counted in *read. */
static enum imgseal_check_result check_external_slot(uint32_t address, uint32_t slot_size,
                                                     int require_crc, uint32_t *length,
                                                     uint32_t *read)
{
    struct imgseal_check check;
    uint8_t piece[PIECE_SIZE];
    uint32_t needed;

    *read = 0;
    imgseal_check_begin_slot(&check, slot_size);
#if !defined(IMGSEAL_CHECK_CRC) || IMGSEAL_CHECK_CRC != 0
    if (require_crc)
        imgseal_check_require_crc(&check);
#else
    (void)require_crc;
#endif
    while ((needed = imgseal_check_needed(&check)) != 0u) {
        uint32_t n = needed < PIECE_SIZE ? needed : PIECE_SIZE;
        spi_flash_read(address + *read, piece, n);
        imgseal_check_feed(&check, piece, n);
        *read += n;
    }
    return imgseal_check_end(&check, length);
}

/* Checks the slot at address and prints its verdict and the bytes read;
   returns 1 when either is not the expected one. */
static int report_slot(const char *what, uint32_t address, uint32_t slot_size,
                       enum imgseal_check_result expected, uint32_t expected_read)
{
    uint32_t length = 0, read;
    enum imgseal_check_result got = check_external_slot(address, slot_size, 0, &length, &read);
    int failed = write_verdict(what, got, length, expected);

    semihosting_write(", read ");
    write_hex(read);
    semihosting_write(" bytes");
    if (read != expected_read) {
        semihosting_write(" (expected ");
        write_hex(expected_read);
        semihosting_write(")");
        failed = 1;
    }
    semihosting_write("\n");
    return failed;
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

#if UNALIGNED_WORD_LOAD == 1
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
#if UNALIGNED_WORD_LOAD == 2
    /* Shows that the trap is set: the M3 faults here too. */
    semihosting_write("an unaligned word load, trapped: ");
    write_hex(*(const volatile uint32_t *)(const volatile void *)(odd_address + 4));
    semihosting_write("\n");
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

    /* The external flash: a sealed image is read to its length, not to the
       slot's end; the other slots stop after the header (8 bytes) or the
       header and the descriptor (8 + 16 bytes, at offset 8 here). */
    failures += report_slot("external flash, sealed", 0x0000u, SLOT_SIZE, IMGSEAL_CHECK_OK,
                            sealed_size);
    failures += report_slot("external flash, erased", 0x1000u, SLOT_SIZE, IMGSEAL_CHECK_ERASED, 8u);
    failures += report_slot("external flash, unsealed", 0x2000u, SLOT_SIZE,
                            IMGSEAL_CHECK_NOT_SEALED, 24u);
    failures += report_slot("external flash, sealed, longer than the slot", 0x3000u, SLOT_SIZE,
                            IMGSEAL_CHECK_BAD_LENGTH, 24u);

    /* Images that carry a CRC, whose zeros an interrupted update left
       erased: the seal's sum cannot tell a word of 0xFFFF from one of 0, the
       CRC can. Each is read once, to its length. */
    got = imgseal_check_memory(packed_image, size_of(packed_image, packed_image_end), &length);
    failures += report("with a CRC", got, length, IMGSEAL_CHECK_OK);
    got = imgseal_check_memory(tail_erased_image,
                               size_of(tail_erased_image, tail_erased_image_end), &length);
    failures += report("with a CRC, its last 2 KiB of zeros erased", got, length, UNPROGRAMMED);
    got = imgseal_check_memory(page_erased_image,
                               size_of(page_erased_image, page_erased_image_end), &length);
    failures += report("with a CRC, a page of zeros erased", got, length, UNPROGRAMMED);
    failures += report_slot("external flash, with a CRC, its last 2 KiB of zeros erased",
                            0x5000u, CRC_SLOT_SIZE, UNPROGRAMMED, 10240u);
    failures += report_slot("external flash, with a CRC, a page of zeros erased", 0x9000u,
                            CRC_SLOT_SIZE, UNPROGRAMMED, 10240u);
#if !defined(IMGSEAL_CHECK_CRC) || IMGSEAL_CHECK_CRC != 0
    /* A loader that requires a CRC: slot A's newer image has none, so it
       boots slot B's older one. */
    got = imgseal_check_memory_crc(sealed_image, sealed_size, &length);
    failures += report("sealed, no CRC, one required", got, length, IMGSEAL_CHECK_NO_CRC);
    {
        uint32_t read_a, read_b;
        enum imgseal_check_result a = check_external_slot(0xD000u, CRC_SLOT_SIZE, 1, &length,
                                                          &read_a);
        enum imgseal_check_result b = check_external_slot(0x11000u, CRC_SLOT_SIZE, 1, &length,
                                                          &read_b);

        failures += report("requiring a CRC, slot A (newer, no CRC)", a, 0, IMGSEAL_CHECK_NO_CRC);
        failures += report("requiring a CRC, slot B (older, with one)", b, length,
                           IMGSEAL_CHECK_OK);
        semihosting_write(a == IMGSEAL_CHECK_OK ? "booting slot A\n"
                          : b == IMGSEAL_CHECK_OK ? "booting slot B\n"
                                                  : "no slot to boot\n");
    }
#endif

    semihosting_write(failures == 0 ? "every verdict as expected\n" : "FAILED\n");
    return failures == 0 ? 0 : 1;
}
