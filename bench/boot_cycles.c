/* The program that boot_cycles.sh runs under qemu-system-arm: the boot
   check's memory form, then its stream form in 256-byte pieces read straight
   from flash, each on a 4 KiB and a 64 KiB sealed image without a CRC, then
   on a 4 KiB and a 64 KiB one that carries a CRC, with a call to
   boot_cycles_mark() before each check and after the last, where the script
   splits the trace. Exits 0 when every verdict is OK. The script passes the
   images' sizes as SMALL_SIZE and LARGE_SIZE. */
#include <stddef.h>
#include <stdint.h>

#include "imgseal_check.h"

extern const uint8_t small_image[], large_image[], small_crc_image[], large_crc_image[];

void boot_cycles_mark(void) __attribute__((noinline));
void boot_cycles_mark(void)
{
    __asm__ volatile("");
}

static enum imgseal_check_result in_pieces(const uint8_t *image, uint32_t size)
{
    struct imgseal_check check;
    uint32_t at;

    imgseal_check_begin(&check);
    for (at = 0u; at < size; at += 256u)
        imgseal_check_feed(&check, image + at, size - at < 256u ? size - at : 256u);
    return imgseal_check_end(&check, NULL);
}

int main(void)
{
    const uint8_t *const starts[4] = {small_image, large_image, small_crc_image, large_crc_image};
    const uint32_t sizes[2] = {SMALL_SIZE, LARGE_SIZE};
    int failures = 0;
    unsigned pair, i;

    for (pair = 0u; pair < 4u; pair += 2u) {
        for (i = 0u; i < 2u; ++i) {
            boot_cycles_mark();
            failures += imgseal_check_memory(starts[pair + i], sizes[i], NULL) != IMGSEAL_CHECK_OK;
        }
        for (i = 0u; i < 2u; ++i) {
            boot_cycles_mark();
            failures += in_pieces(starts[pair + i], sizes[i]) != IMGSEAL_CHECK_OK;
        }
    }
    boot_cycles_mark();
    return failures;
}
