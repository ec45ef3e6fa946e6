/* The seal check for boot code: freestanding C99 that calls nothing, keeps no
   state of its own and reads memory a byte at a time, so that it runs on the
   smallest cores (a Cortex-M0 faults on an unaligned word load). */
#include "imgseal_check.h"

/* The image layout (docs/imgseal.1): header bytes 4-7 hold the descriptor's
   offset; descriptor byte 8 is the signature, 10-11 the checksum and 12-15 the
   length, all big-endian. The name field's 2000 bytes follow the descriptor. */
#define HEADER_SIZE 8u
#define DESCRIPTOR_SIZE 16u
#define SEALED_MINIMUM (DESCRIPTOR_SIZE + 2000u)
/* An offset from 2^31 on is a negative file position, where no descriptor
   lies; below it, offset + SEALED_MINIMUM cannot wrap. */
#define OFFSET_LIMIT 0x80000000u
/* A stream's limit, where its count is held. */
#define STREAM_LIMIT 0xFFFFFFFFu

/* Through a volatile pointer: a compiler for a core that allows unaligned
   access (a Cortex-M3) would otherwise merge these byte loads into one word
   or halfword load, which faults where the firmware traps unaligned access. */
static uint32_t load_be32(const volatile uint8_t *p)
{
    return (((uint32_t)p[0] * 256u + p[1]) * 256u + p[2]) * 256u + p[3];
}

/* Erased flash reads as 0xFF. */
static int is_erased(const volatile uint8_t *header)
{
    unsigned i;

    for (i = 0u; i < HEADER_SIZE; ++i)
        if (header[i] != 0xFFu)
            return 0;
    return 1;
}

/* The checks that the 8 bytes of the header decide, in their order after
   "fewer than 8 bytes": erased, then a descriptor, at `offset` (header bytes
   4-7), that does not lie within `room` bytes. */
static enum imgseal_check_result check_header(const volatile uint8_t *header, uint32_t offset,
                                              uint32_t room)
{
    if (is_erased(header))
        return IMGSEAL_CHECK_ERASED;
    if (offset >= OFFSET_LIMIT || offset + DESCRIPTOR_SIZE > room)
        return IMGSEAL_CHECK_BAD_LAYOUT;
    return IMGSEAL_CHECK_OK;
}

/* The checks of descriptor bytes 8-15 at `fields`, in their order, the
   stream's "the length is the bytes there are" aside: a seal covers its whole
   name field, pads to even and must lie within `room` bytes. `length` is
   bytes 12-15. */
static enum imgseal_check_result check_fields(const volatile uint8_t *fields, uint32_t offset,
                                              uint32_t length, uint32_t room)
{
    const uint8_t signature = fields[0];

    if (signature != 0x55u && signature != 0xAAu)
        return IMGSEAL_CHECK_BAD_SIGNATURE;
    if ((fields[2] | fields[3] | length) == 0u)
        return IMGSEAL_CHECK_NOT_SEALED;
    if (length % 2u != 0u || length < offset + SEALED_MINIMUM || length > room)
        return IMGSEAL_CHECK_BAD_LENGTH;
    return IMGSEAL_CHECK_OK;
}

/* The sum, modulo 2^32, of the big-endian 16-bit words of the n bytes at p,
   the first of which is at an even position: a last odd byte is a word's
   high-order byte. The bytes at even and at odd positions are summed apart,
   8 a turn, which takes the parity and most of the loop's cost out of each
   byte; their sums are exact modulo 2^32 whatever they wrap. The shape is
   for gcc -Os on a Cortex-M0: as a guarded do-while the loop takes 3.75
   cycles a byte (4 as a while loop), and the pairs' bound, worked out after
   it, keeps the function to 16 bytes of stack. */
static uint32_t sum_words(const uint8_t *p, uint32_t n)
{
    const uint8_t *const groups_end = p + (n - n % 8u);
    const uint8_t *pairs_end;
    uint32_t high = 0u, low = 0u;

    if (p != groups_end)
        do {
            high += p[0];
            low += p[1];
            high += p[2];
            low += p[3];
            high += p[4];
            low += p[5];
            high += p[6];
            low += p[7];
            p += 8;
        } while (p != groups_end);
    pairs_end = p + (n % 8u - n % 2u);
    while (p != pairs_end) {
        high += p[0];
        low += p[1];
        p += 2;
    }
    if (n % 2u != 0u)
        high += p[0];
    return high * 256u + low;
}

/* Every check, shared by all forms so that they cannot drift apart. The
   stream and slot forms pass their state: the bytes they kept and the sum of
   those they took. The memory form passes none and reads the fields in place;
   its image may well be at address 0, where flash often starts, so the image
   pointer cannot tell the forms apart. */
static enum imgseal_check_result judge(const struct imgseal_check *check,
                                       const uint8_t *image, uint32_t given,
                                       uint32_t *length)
{
    const volatile uint8_t *const header = check ? check->kept : image;
    const volatile uint8_t *fields;
    uint32_t offset, sealed_length, sum, i;
    enum imgseal_check_result result;

    if (given < HEADER_SIZE)
        return IMGSEAL_CHECK_BAD_LAYOUT;
    offset = load_be32(header + 4);
    result = check_header(header, offset, given);
    if (result != IMGSEAL_CHECK_OK)
        return result;
    fields = check ? header + 8 : header + offset + 8u;
    sealed_length = load_be32(fields + 4);
    result = check_fields(fields, offset, sealed_length, given);
    if (result != IMGSEAL_CHECK_OK)
        return result;
    /* The stream is the image, so it must be the length; a slot only has to
       hold it. */
    if (check && !check->slot && sealed_length != check->count)
        return IMGSEAL_CHECK_BAD_LENGTH;

    /* Sealing summed the stamp (checksum and length) as zero: take its bytes
       back out, those at even positions as high-order bytes. */
    sum = check ? check->sum : sum_words(image, sealed_length);
    for (i = 2u; i < 8u; ++i)
        sum -= (offset + i) % 2u == 0u ? fields[i] * 256u : fields[i];
    sum += sealed_length / 65536u + sealed_length % 65536u;
    sum = sum / 65536u + sum % 65536u;
    sum += sum / 65536u;
    if (65535u - sum % 65536u != fields[2] * 256u + fields[3])
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

void imgseal_check_begin_slot(struct imgseal_check *check, uint32_t slot_size)
{
    unsigned i;

    check->count = 0u;
    check->limit = slot_size;
    check->sum = 0u;
    check->slot = 1u;
    for (i = 0u; i < sizeof check->kept; ++i)
        check->kept[i] = 0u;
}

void imgseal_check_begin(struct imgseal_check *check)
{
    imgseal_check_begin_slot(check, STREAM_LIMIT);
    check->slot = 0u;
}

/* Adds the words of the n bytes at p, the first at image position `at`: a
   byte at an odd position is a word's low-order byte. */
static uint32_t add_words(uint32_t sum, const uint8_t *p, uint32_t n, uint32_t at)
{
    if (at % 2u != 0u) {
        sum += p[0];
        ++p;
        --n;
    }
    return sum + sum_words(p, n);
}

/* How far the bytes still decide the verdict once `given` have been kept:
   the header, then the descriptor, then the length; 0 once the verdict is
   final. */
static uint32_t wanted(const struct imgseal_check *check, uint32_t given)
{
    uint32_t offset, length;

    if (given < HEADER_SIZE)
        return HEADER_SIZE;
    offset = load_be32(check->kept + 4);
    if (check_header(check->kept, offset, check->limit) != IMGSEAL_CHECK_OK)
        return 0u;
    if (given < offset + DESCRIPTOR_SIZE)
        return offset + DESCRIPTOR_SIZE;
    length = load_be32(check->kept + 12);
    if (check_fields(check->kept + 8, offset, length, check->limit) != IMGSEAL_CHECK_OK)
        return 0u;
    return length;
}

void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size)
{
    const uint8_t *const piece = data;
    const uint32_t at = check->count;
    uint32_t n = check->limit - at;
    uint32_t end, sum_end, offset, length, position;

    if (size < n)
        n = (uint32_t)size;
    if (n == 0u)
        return;
    end = at + n;
    /* kept[i] is the byte at position i, then at offset + i: the header comes
       first and says where the descriptor is, which lies past it. Once both
       have passed, there is nothing more to keep, and nothing past the length
       is summed: a slot goes on past the image. */
    for (position = at; position < end && position < HEADER_SIZE; ++position)
        check->kept[position] = piece[position - at];
    sum_end = end;
    if (end > HEADER_SIZE) {
        offset = load_be32(check->kept + 4);
        if (offset < OFFSET_LIMIT) {
            for (position = at > offset + 8u ? at : offset + 8u;
                 position < end && position < offset + DESCRIPTOR_SIZE; ++position)
                check->kept[position - offset] = piece[position - at];
            if (end >= offset + DESCRIPTOR_SIZE) {
                length = load_be32(check->kept + 12);
                if (length < end)
                    sum_end = length;
            }
        }
    }
    if (at < sum_end)
        check->sum = add_words(check->sum, piece, sum_end - at, at);
    check->count = end;
}

uint32_t imgseal_check_needed(const struct imgseal_check *check)
{
    const uint32_t given = check->count;
    uint32_t until = wanted(check, given);

    /* A slot holds no more than its size. */
    if (until > check->limit)
        until = check->limit;
    return until > given ? until - given : 0u;
}

enum imgseal_check_result imgseal_check_end(const struct imgseal_check *check, uint32_t *length)
{
    return judge(check, NULL, check->count, length);
}

const char *imgseal_check_result_name(enum imgseal_check_result result)
{
    switch (result) {
    case IMGSEAL_CHECK_OK:
        return "OK";
    case IMGSEAL_CHECK_BAD_LAYOUT:
        return "BAD_LAYOUT";
    case IMGSEAL_CHECK_BAD_SIGNATURE:
        return "BAD_SIGNATURE";
    case IMGSEAL_CHECK_NOT_SEALED:
        return "NOT_SEALED";
    case IMGSEAL_CHECK_BAD_LENGTH:
        return "BAD_LENGTH";
    case IMGSEAL_CHECK_BAD_CHECKSUM:
        return "BAD_CHECKSUM";
    case IMGSEAL_CHECK_ERASED:
        return "ERASED";
    }
    return "?";
}
