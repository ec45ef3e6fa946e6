/* The boot loader: of the images in slots A and B, starts the good one
   with the higher version; when neither is good, reports both results and
   halts. Its output and its exit go through semihosting, as QEMU serves it;
   cases.txt lists what the slots hold in each case the tests run. */
#include <stdint.h>

#include "imgseal_check.h"
#include "semihosting.h"

/* SLOT_A, SLOT_B, SLOT_SIZE and PAYLOAD_OFFSET (imgseal-pack's --align, where
   an application's vector table lies in its image) come from
   CMakeLists.txt. The RAM is the micro:bit's. */
#define RAM_START 0x20000000u
#define RAM_END 0x20004000u
/* The status of a run that found nothing to start. */
#define HALTED 1

struct slot {
    const char *name;
    uint32_t address;
};

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

static const uint8_t *at(uint32_t address)
{
    return (const uint8_t *)(uintptr_t)address;
}

/* Header bytes 0-3, big-endian. Erased flash reads 0xFFFFFFFF, never a
   version: it ranks below every version. */
static uint32_t rank(const struct slot *slot)
{
    const uint8_t *header = at(slot->address);
    uint32_t version = (uint32_t)header[0] << 24 | (uint32_t)header[1] << 16 |
                       (uint32_t)header[2] << 8 | header[3];

    return version == 0xFFFFFFFFu ? 0u : version + 1u;
}

/* The application's vector table, word-aligned at the start of its payload. */
static const uint32_t *vectors_of(const struct slot *slot)
{
    return (const uint32_t *)(uintptr_t)(slot->address + PAYLOAD_OFFSET);
}

/* A sealed image may still be one linked for the other slot: its reset
   handler must lie in its own payload, and its stack in RAM. */
static int runs_here(const struct slot *slot, uint32_t length)
{
    const uint32_t *vectors = vectors_of(slot);
    uint32_t payload = slot->address + PAYLOAD_OFFSET;

    if (length < PAYLOAD_OFFSET + 8u)
        return 0;
    return vectors[1] - payload < length - PAYLOAD_OFFSET && vectors[0] > RAM_START &&
           vectors[0] <= RAM_END;
}

/* Checks the slot's image and says what it found: the boot check's result,
   or LINKED_ELSEWHERE for a sealed image that cannot run in this slot;
   with the version where the image is sealed. Returns 1 when it can start. */
static int check(const struct slot *slot)
{
    uint32_t length = 0;
    /* Every image of this project carries a CRC, which catches what the
       seal cannot: zeros that an interrupted update left erased. One without
       is refused (NO_CRC). */
    enum imgseal_check_result result =
        imgseal_check_memory_crc(at(slot->address), SLOT_SIZE, &length);
    int good = result == IMGSEAL_CHECK_OK && runs_here(slot, length);

    semihosting_write("slot ");
    semihosting_write(slot->name);
    semihosting_write(": ");
    semihosting_write(result == IMGSEAL_CHECK_OK && !good ? "LINKED_ELSEWHERE"
                                                          : imgseal_check_result_name(result));
    if (result == IMGSEAL_CHECK_OK) {
        semihosting_write(", version ");
        write_hex(rank(slot) - 1u);
    }
    semihosting_write("\n");
    return good;
}

/* Hands the core to the application as a reset would: its stack pointer,
   then its reset handler. */
static void start(const struct slot *slot)
{
    const uint32_t *vectors = vectors_of(slot);

    semihosting_write("starting slot ");
    semihosting_write(slot->name);
    semihosting_write("\n");
    __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(vectors[0]), "r"(vectors[1]) : "memory");
    for (;;) {
    }
}

int main(void)
{
    static const struct slot slots[2] = {{"A", SLOT_A}, {"B", SLOT_B}};
    /* The newer first, by the header's version: the older is read only when
       the newer is not good, so that a boot costs one image's read. */
    int first = rank(&slots[1]) > rank(&slots[0]) ? 1 : 0;

    if (check(&slots[first]))
        start(&slots[first]);
    if (check(&slots[1 - first]))
        start(&slots[1 - first]);
    /* A board would wait here for a recovery image; under QEMU the run ends. */
    semihosting_write("no slot holds an image to start: halted\n");
    return HALTED;
}

extern const char stack_top[]; /* the end of RAM, from the link */

static void reset(void)
{
    semihosting_exit(main());
}

static void hard_fault(void)
{
    semihosting_write("HardFault\n");
    semihosting_exit(2);
}

/* Word 0 is the initial stack pointer, then reset, NMI and HardFault. */
__attribute__((section(".vectors"), used)) static const struct {
    const void *stack_pointer;
    void (*handler[3])(void);
} vectors = {stack_top, {reset, hard_fault, hard_fault}};
