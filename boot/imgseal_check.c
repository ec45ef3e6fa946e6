/* The seal check for boot code: freestanding C99 that calls nothing, keeps no
   state of its own and reads memory a byte at a time, so that it runs on the
   smallest cores (a Cortex-M0 faults on an unaligned word load). */
#include "imgseal_check.h"

/* The image layout (docs/imgseal.1): header bytes 4-7 hold the descriptor's
   offset; descriptor byte 8 is the signature, 10-11 the checksum and 12-15 the
   length, all big-endian. The name field's 2000 bytes follow the descriptor. */
#define DESCRIPTOR_SIZE 16u
#define SEALED_MINIMUM (DESCRIPTOR_SIZE + 2000u)

/* Through a volatile pointer: a compiler for a core that allows unaligned
   access (a Cortex-M3) would otherwise merge these byte loads into one word
   or halfword load, which faults where the firmware traps unaligned access. */
static uint32_t load_be32(const volatile uint8_t *p)
{
    uint32_t value = 0u;
    unsigned i;

    for (i = 0u; i < 4u; ++i)
        value = value << 8 | p[i];
    return value;
}

/* The byte at an even offset is a word's high-order byte. */
static unsigned shift_at(uint32_t offset)
{
    return (~offset & 1u) << 3;
}

/* Adds the n bytes at p, the first at a position whose shift is `shift`, to
   the word sum, except the 6 stamp bytes at p + cut when cut < n: sealing
   summed them as zero. Toggling the shift instead of testing the parity, and
   running the loop twice around the stamp instead of testing for it, keeps
   the loop to one load and no branch per byte; the sum is exact modulo 2^32
   whatever the pieces' sizes. */
static uint32_t add_bytes(uint32_t sum, const uint8_t *p, size_t n, unsigned shift, size_t cut)
{
    const uint8_t *stop = p + cut, *end = p + n;
    for (;;) {
        while (p != stop) {
            sum += (uint32_t)*p++ << shift;
            shift ^= 8u;
        }
        if (p == end)
            return sum;
        p += 6;
        stop = end;
    }
}

/* Every check, shared by both forms so that they cannot drift apart. The
   stream form passes its state: the fields it kept and the sum of all it was
   fed. The memory form passes none and reads the fields in place; its image
   may well be at address 0, where flash often starts, so the image pointer
   cannot tell the forms apart. */
static enum imgseal_check_result judge(const struct imgseal_check *check,
                                       const uint8_t *image, uint32_t given,
                                       uint32_t *length)
{
    const volatile uint8_t *fields;
    uint32_t offset, sealed_length, sum, checksum;
    unsigned stamp_shift;

    if (given < 8u)
        return IMGSEAL_CHECK_BAD_LAYOUT;
    offset = load_be32(check ? check->seen : image + 4);
    /* Below 2^31, offset + 16 cannot wrap. */
    if (offset >= 0x80000000u || offset + DESCRIPTOR_SIZE > given)
        return IMGSEAL_CHECK_BAD_LAYOUT;
    fields = check ? check->seen + 4 : image + offset + 8;
    if (fields[0] != 0x55u && fields[0] != 0xAAu)
        return IMGSEAL_CHECK_BAD_SIGNATURE;
    checksum = (uint32_t)fields[2] << 8 | fields[3];
    sealed_length = load_be32(fields + 4);
    if ((checksum | sealed_length) == 0u)
        return IMGSEAL_CHECK_NOT_SEALED;
    /* A seal covers its whole name field and pads to even. The stream is the
       image, so it must be the length; a slot only has to hold it. */
    if ((sealed_length & 1u) || sealed_length < offset + SEALED_MINIMUM ||
        sealed_length > given || (check && sealed_length != given))
        return IMGSEAL_CHECK_BAD_LENGTH;

    /* The memory form sums around the stamp; the stream form has summed it
       and takes it back out: its bytes at even positions were high-order. */
    stamp_shift = shift_at(offset);
    if (check)
        sum = check->sum - (((uint32_t)fields[2] + fields[4] + fields[6]) << stamp_shift) -
              (((uint32_t)fields[3] + fields[5] + fields[7]) << (stamp_shift ^ 8u));
    else
        sum = add_bytes(0u, image, sealed_length, 8u, offset + 10u);
    sum += (sealed_length >> 16) + (sealed_length & 0xFFFFu);
    sum = (sum >> 16) + (sum & 0xFFFFu);
    sum += sum >> 16;
    if ((~sum & 0xFFFFu) != checksum)
        return IMGSEAL_CHECK_BAD_CHECKSUM;
    if (length)
        *length = sealed_length;
    return IMGSEAL_CHECK_OK;
}

enum imgseal_check_result imgseal_check_memory(const void *image, uint32_t available,
                                               uint32_t *length)
{
    return judge(NULL, image, available, length);
}

void imgseal_check_begin(struct imgseal_check *check)
{
    unsigned i;

    check->count = 0u;
    check->sum = 0u;
    /* A partial offset then points past what has arrived. */
    for (i = 0u; i < 4u; ++i)
        check->seen[i] = 0u;
}

void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size)
{
    const uint8_t *p = data;
    uint32_t at = check->count;
    uint32_t position = 4u;
    unsigned i;

    if (size == 0u)
        return;
    check->sum = add_bytes(check->sum, p, size, shift_at(at), size);
    /* Keep the header's offset field, then the descriptor's last 8 bytes. The
       descriptor starts at 8 or later, so the offset is whole by the time it
       is needed; before that, a partial offset only points past the piece. */
    for (i = 0u; i < 12u; ++i, ++position) {
        if (i == 4u)
            position = load_be32(check->seen) + 8u;
        if (position >= at && position - at < size)
            check->seen[i] = p[position - at];
    }
    check->count = size > 0xFFFFFFFFu - at ? 0xFFFFFFFFu : at + (uint32_t)size;
}

enum imgseal_check_result imgseal_check_end(const struct imgseal_check *check, uint32_t *length)
{
    return judge(check, NULL, check->count, length);
}
