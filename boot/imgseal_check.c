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

/*@ // Steps of the proof, from the definitions in imgseal_check.h: arithmetic
    // modulo 2^32 from the conversion rule, and the stamp's words so far.
  logic integer stamp_so_far(uint8_t *d, integer offset, integer i) =
    i <= 2 ? 0 : stamp_so_far(d, offset, i - 1) + word_part(offset + i - 1, d[i - 1]);
  // The stamp's words before `position`.
  logic integer stamp_before(uint8_t *image, integer offset, integer position) =
    (offset + 10 < position ? word_part(offset + 10, image[offset + 10]) : 0) +
    (offset + 11 < position ? word_part(offset + 11, image[offset + 11]) : 0) +
    (offset + 12 < position ? word_part(offset + 12, image[offset + 12]) : 0) +
    (offset + 13 < position ? word_part(offset + 13, image[offset + 13]) : 0) +
    (offset + 14 < position ? word_part(offset + 14, image[offset + 14]) : 0) +
    (offset + 15 < position ? word_part(offset + 15, image[offset + 15]) : 0);
*/

/*@ ghost
  /@ assigns \nothing;
     ensures (uint32_t)((uint32_t)x + a) == (uint32_t)(x + a);
  @/
  void add_modulo(uint64_t x, uint64_t a)
  {
  }

  /@ assigns \nothing;
     ensures (uint32_t)((uint32_t)((uint32_t)high * 256) + (uint32_t)low) ==
             (uint32_t)(high * 256 + low);
  @/
  void word_modulo(uint64_t high, uint64_t low)
  {
  }

  /@ assigns \nothing;
     ensures (uint32_t)((uint32_t)(sum + byte) + (uint32_t)bytes_sum((uint8_t *)p, n)) ==
             (uint32_t)(sum + byte + bytes_sum((uint8_t *)p, n));
  @/
  void words_modulo(uint32_t sum, uint32_t byte, const uint8_t *p, uint32_t n)
  {
  }

  /@ requires x <= 0xFFFFFFFF;
     assigns \nothing;
     ensures (uint32_t)x == x;
  @/
  void narrow(size_t x)
  {
  }

  /@ requires folded < 0x20000;
     assigns \nothing;
     ensures (folded + folded / 0x10000) % 0x10000 ==
             (folded % 0x10000 + folded / 0x10000) % 0x10000;
  @/
  void fold_carry(uint32_t folded)
  {
  }
*/

/*@ ghost
  /@ requires 0 <= offset && offset + 16 <= 2 * m;
     assigns \nothing;
     ensures image_words((uint8_t *)image, offset, m) ==
             words((uint8_t *)image, m) - stamp_words((uint8_t *)image + offset + 8, offset);
  @/
  void stamp_taken_out(const uint8_t *image, uint32_t offset, uint32_t m)
  {
      uint32_t k;

      /@ loop invariant 0 <= k <= m;
         loop invariant image_words((uint8_t *)image, offset, k) ==
           words((uint8_t *)image, k) - stamp_before((uint8_t *)image, offset, 2 * k);
         loop assigns k;
         loop variant m - k;
      @/
      for (k = 0u; k < m; ++k)
          ;
  }
*/

/* Through a volatile pointer: a compiler for a core that allows unaligned
   access (a Cortex-M3) would otherwise merge these byte loads into one word
   or halfword load, which faults where the firmware traps unaligned access. */
/*@ requires \valid_read(p + (0 .. 3));
    requires \initialized(p + (0 .. 3));
    assigns \nothing;
    ensures \result == be32((uint8_t *)p);
*/
static uint32_t load_be32(const volatile uint8_t *p)
{
    return (((uint32_t)p[0] * 256u + p[1]) * 256u + p[2]) * 256u + p[3];
}

/* Erased flash reads as 0xFF. */
/*@ requires \valid_read(header + (0 .. 7));
    requires \initialized(header + (0 .. 7));
    assigns \nothing;
    ensures \result == (erased((uint8_t *)header) ? 1 : 0);
*/
static int is_erased(const volatile uint8_t *header)
{
    unsigned i;

    /*@ loop invariant 0 <= i <= 8;
        loop invariant \forall integer j; 0 <= j < i ==> header[j] == 0xFF;
        loop assigns i;
        loop variant 8 - i;
    */
    for (i = 0u; i < HEADER_SIZE; ++i)
        if (header[i] != 0xFFu)
            return 0;
    return 1;
}

/* The checks that the 8 bytes of the header decide, in their order after
   "fewer than 8 bytes": erased, then a descriptor, at `offset` (header bytes
   4-7), that does not lie within `room` bytes. */
/*@ requires \valid_read(header + (0 .. 7));
    requires \initialized(header + (0 .. 7));
    assigns \nothing;
    ensures \result == (erased((uint8_t *)header) ? IMGSEAL_CHECK_ERASED :
                        offset >= 0x80000000 || offset + 16 > room ? IMGSEAL_CHECK_BAD_LAYOUT :
                        IMGSEAL_CHECK_OK);
*/
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
/*@ requires \valid_read(fields + (0 .. 7));
    requires \initialized(fields + (0 .. 7));
    requires offset < 0x80000000;
    requires length == length_field((uint8_t *)fields);
    assigns \nothing;
    ensures \result == (fields[0] != 0x55 && fields[0] != 0xAA ? IMGSEAL_CHECK_BAD_SIGNATURE :
                        checksum_field((uint8_t *)fields) == 0 && length == 0 ?
                          IMGSEAL_CHECK_NOT_SEALED :
                        length % 2 != 0 || length < offset + 2016 || length > room ?
                          IMGSEAL_CHECK_BAD_LENGTH :
                        IMGSEAL_CHECK_OK);
*/
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
/*@ requires \valid_read(p + (0 .. n - 1));
    requires \initialized(p + (0 .. n - 1));
    requires n == 0 ==> \object_pointer(p);
    assigns \nothing;
    ensures \result == (uint32_t)bytes_sum((uint8_t *)p, n);
*/
static uint32_t sum_words(const uint8_t *p, uint32_t n)
{
    const uint8_t *const groups_end = p + (n - n % 8u);
    const uint8_t *pairs_end;
    uint32_t high = 0u, low = 0u;
    /*@ ghost
        uint32_t groups = 0u, words_done = 0u;
        uint64_t high_sum = 0u, low_sum = 0u;
    */

    /*@ assert n - n % 8 == 8 * (n / 8) && 0 <= n % 8 < 8; */
    /*@ assert n - n % 2 == 2 * (n / 2) && 0 <= n % 2 < 2; */
    /*@ assert groups_end == \at(p, Pre) + 8 * (n / 8); */
    if (p != groups_end)
        /*@ loop invariant groups < n / 8 && words_done == 4 * groups;
            loop invariant p == \at(p, Pre) + 2 * words_done;
            loop invariant high_sum <= 255 * words_done && low_sum <= 255 * words_done;
            loop invariant high == (uint32_t)high_sum && low == (uint32_t)low_sum;
            loop invariant high_sum * 256 + low_sum == words((uint8_t *)\at(p, Pre), words_done);
            loop assigns p, high, low, groups, words_done, high_sum, low_sum;
            loop variant groups_end - p;
        */
        do {
            high += p[0];
            low += p[1];
            high += p[2];
            low += p[3];
            high += p[4];
            low += p[5];
            high += p[6];
            low += p[7];
            /*@ assert high == (uint32_t)(\at(high, LoopCurrent) + p[0] + p[2] + p[4] + p[6]); */
            /*@ assert low == (uint32_t)(\at(low, LoopCurrent) + p[1] + p[3] + p[5] + p[7]); */
            /*@ assert words((uint8_t *)\at(p, Pre), words_done + 4) ==
                  words((uint8_t *)\at(p, Pre), words_done) + (p[0] + p[2] + p[4] + p[6]) * 256 +
                  p[1] + p[3] + p[5] + p[7]; */
            /*@ ghost
                add_modulo(high_sum, (uint64_t)p[0] + p[2] + p[4] + p[6]);
                add_modulo(low_sum, (uint64_t)p[1] + p[3] + p[5] + p[7]);
                high_sum += (uint64_t)p[0] + p[2] + p[4] + p[6];
                low_sum += (uint64_t)p[1] + p[3] + p[5] + p[7];
            */
            p += 8;
            /*@ ghost
                groups += 1u;
                words_done += 4u;
            */
            /*@ assert p == \at(p, Pre) + 2 * words_done && groups <= n / 8 && words_done == 4 * groups; */
            /*@ assert high == (uint32_t)high_sum && low == (uint32_t)low_sum; */
            /*@ assert high_sum * 256 + low_sum == words((uint8_t *)\at(p, Pre), words_done); */
        } while (p != groups_end);
    /*@ assert after_groups: p == \at(p, Pre) + 8 * (n / 8) && words_done == 4 * (n / 8); */
    pairs_end = p + (n % 8u - n % 2u);
    /*@ assert pairs_end == \at(p, Pre) + 2 * (n / 2); */
    /*@ loop invariant 4 * (n / 8) <= words_done <= n / 2;
        loop invariant p == \at(p, Pre) + 2 * words_done;
        loop invariant high_sum <= 255 * words_done && low_sum <= 255 * words_done;
        loop invariant high == (uint32_t)high_sum && low == (uint32_t)low_sum;
        loop invariant high_sum * 256 + low_sum == words((uint8_t *)\at(p, Pre), words_done);
        loop assigns p, high, low, words_done, high_sum, low_sum;
        loop variant pairs_end - p;
    */
    while (p != pairs_end) {
        high += p[0];
        low += p[1];
        /*@ assert words((uint8_t *)\at(p, Pre), words_done + 1) ==
              words((uint8_t *)\at(p, Pre), words_done) + p[0] * 256 + p[1]; */
        /*@ ghost
            add_modulo(high_sum, p[0]);
            add_modulo(low_sum, p[1]);
            high_sum += p[0];
            low_sum += p[1];
        */
        p += 2;
        /*@ ghost words_done += 1u; */
    }
    /*@ assert words_done == n / 2 && p == \at(p, Pre) + 2 * (n / 2); */
    if (n % 2u != 0u) {
        high += p[0];
        /*@ ghost
            add_modulo(high_sum, p[0]);
            high_sum += p[0];
        */
    }
    /*@ assert high_sum * 256 + low_sum == bytes_sum((uint8_t *)\at(p, Pre), n); */
    /*@ ghost word_modulo(high_sum, low_sum); */
    return high * 256u + low;
}

/* Whether a sum of words gives the checksum field, descriptor bytes 10-11 at
   fields + 2, once the stamp's bytes, descriptor bytes 10-15, summed as part
   of it, are taken back out: those at even positions were high-order bytes. */
/*@ requires \valid_read(fields + (0 .. 7));
    requires \initialized(fields + (0 .. 7));
    requires offset < 0x80000000;
    assigns \nothing;
    ensures \result == (fold_complement((uint32_t)((uint32_t)(sum - stamp_words((uint8_t *)fields, offset)) +
                                                    length % 0x10000 + length / 0x10000)) ==
                        checksum_field((uint8_t *)fields) ? 1 : 0);
*/
static int checksum_holds(uint32_t sum, const volatile uint8_t *fields, uint32_t offset,
                          uint32_t length)
{
    unsigned i;
    /*@ ghost uint32_t summed = sum; */

    /*@ loop invariant 2 <= i <= 8;
        loop invariant sum == (uint32_t)(summed - stamp_so_far((uint8_t *)fields, offset, i));
        loop assigns i, sum;
        loop variant 8 - i;
    */
    for (i = 2u; i < 8u; ++i)
        sum -= (offset + i) % 2u == 0u ? fields[i] * 256u : fields[i];
    /*@ assert sum == (uint32_t)(summed - stamp_words((uint8_t *)fields, offset)); */
    /*@ ghost uint32_t stamped = sum; */
    sum += length / 65536u + length % 65536u;
    /*@ assert sum == (uint32_t)(stamped + length % 0x10000 + length / 0x10000); */
    /*@ assert sum == (uint32_t)(summed - stamp_words((uint8_t *)fields, offset) +
                                 length % 0x10000 + length / 0x10000); */
    /*@ ghost uint32_t accumulator = sum; */
    sum = sum / 65536u + sum % 65536u;
    /*@ assert sum == accumulator / 0x10000 + accumulator % 0x10000 && sum < 0x20000; */
    /*@ ghost uint32_t folded = sum; */
    sum += sum / 65536u;
    /*@ assert sum == folded + folded / 0x10000; */
    /*@ ghost fold_carry(folded); */
    /*@ assert 65535 - sum % 0x10000 == fold_complement(accumulator); */
    return 65535u - sum % 65536u == fields[2] * 256u + fields[3];
}

/* Every check, shared by all forms so that they cannot drift apart. The
   stream and slot forms pass their state: the bytes they kept and the sum of
   those they took. The memory form passes none and reads the fields in place;
   its image may well be at address 0, where flash often starts, so the image
   pointer cannot tell the forms apart. */
/*@ requires length == \null || \valid(length);
    assigns *length;
    ensures \result != IMGSEAL_CHECK_OK && length != \null ==> *length == \old(*length);
  behavior memory:
    assumes check == \null;
    requires \valid_read(image + (0 .. given - 1));
    requires \initialized(image + (0 .. given - 1));
    ensures \old(memory_verdict((uint8_t *)image, given)) != IMGSEAL_CHECK_OK ==>
      \result == \old(memory_verdict((uint8_t *)image, given));
    ensures \old(memory_verdict((uint8_t *)image, given)) == IMGSEAL_CHECK_OK ==>
      \result == IMGSEAL_CHECK_OK || \result == IMGSEAL_CHECK_BAD_CHECKSUM;
    ensures sum: \old(memory_verdict((uint8_t *)image, given)) == IMGSEAL_CHECK_OK ==>
      (\result == IMGSEAL_CHECK_OK <==>
       \old(checksum_field((uint8_t *)image + descriptor_offset((uint8_t *)image) + 8) ==
             memory_checksum((uint8_t *)image)));
    ensures \result == IMGSEAL_CHECK_OK && length != \null ==>
      *length == \old(length_field((uint8_t *)image + descriptor_offset((uint8_t *)image) + 8));
  behavior state:
    assumes check != \null;
    requires \valid_read(check);
    requires ready(check);
    requires within(check);
    requires given == check->count;
    ensures \old(state_verdict(check)) != IMGSEAL_CHECK_OK ==> \result == \old(state_verdict(check));
    ensures \old(state_verdict(check)) == IMGSEAL_CHECK_OK ==>
      \result == IMGSEAL_CHECK_OK || \result == IMGSEAL_CHECK_BAD_CHECKSUM;
    ensures sum: \old(state_verdict(check)) == IMGSEAL_CHECK_OK ==>
      (\result == IMGSEAL_CHECK_OK <==>
       \old(checksum_field(&check->kept[8]) == state_checksum(check)));
    ensures \result == IMGSEAL_CHECK_OK && length != \null ==>
      *length == \old(length_field(&check->kept[8]));
  complete behaviors;
  disjoint behaviors;
*/
static enum imgseal_check_result judge(const struct imgseal_check *check,
                                       const uint8_t *image, uint32_t given,
                                       uint32_t *length)
{
    const volatile uint8_t *const header = check ? check->kept : image;
    const volatile uint8_t *fields;
    /* Set where declared, though set again before they are read: the proof's
       tool counts no call's result as setting a variable (imgseal_check(3),
       PROOF). A compiler drops these stores. */
    uint32_t offset = 0u, sealed_length = 0u, sum = 0u;
    enum imgseal_check_result result = IMGSEAL_CHECK_OK;

    /*@ assert check == \null && given < 8 ==>
          memory_verdict((uint8_t *)image, given) == IMGSEAL_CHECK_BAD_LAYOUT; */
    /*@ assert check != \null && given < 8 ==> state_verdict(check) == IMGSEAL_CHECK_BAD_LAYOUT; */
    if (given < HEADER_SIZE)
        return IMGSEAL_CHECK_BAD_LAYOUT;
    offset = load_be32(header + 4);
    /*@ assert offset == descriptor_offset((uint8_t *)header); */
    result = check_header(header, offset, given);
    /*@ assert check == \null && result != IMGSEAL_CHECK_OK ==>
          result == memory_verdict((uint8_t *)image, given); */
    /*@ assert check != \null && result != IMGSEAL_CHECK_OK ==> result == state_verdict(check); */
    if (result != IMGSEAL_CHECK_OK)
        return result;
    fields = check ? header + 8 : header + offset + 8u;
    /*@ assert check == \null ==> fields == image + descriptor_offset((uint8_t *)image) + 8; */
    /*@ assert fields_a: check == \null ==> \valid_read(fields + (0 .. 7)); */
    /*@ assert fields_b: check == \null ==> \initialized(fields + (0 .. 7)); */
    /*@ assert fields_c: check != \null ==> \valid_read(fields + (0 .. 7)); */
    /*@ assert fields_d: check != \null ==> \initialized(fields + (0 .. 7)); */
    sealed_length = load_be32(fields + 4);
    /*@ assert sealed_length == length_field((uint8_t *)fields); */
    /*@ assert check == \null ==>
          memory_checksum((uint8_t *)image) ==
          fold_complement((uint32_t)((uint32_t)image_words((uint8_t *)image, offset, sealed_length / 2) +
                                     sealed_length % 0x10000 + sealed_length / 0x10000)); */
    /*@ assert check != \null ==>
          state_checksum(check) ==
          fold_complement((uint32_t)((uint32_t)(check->sum - stamp_words((uint8_t *)fields, offset)) +
                                     sealed_length % 0x10000 + sealed_length / 0x10000)); */
    result = check_fields(fields, offset, sealed_length, given);
    /*@ assert check == \null && result != IMGSEAL_CHECK_OK ==>
          result == memory_verdict((uint8_t *)image, given); */
    /*@ assert check != \null && result != IMGSEAL_CHECK_OK ==> result == state_verdict(check); */
    if (result != IMGSEAL_CHECK_OK)
        return result;
    /* The stream is the image, so it must be the length; a slot only has to
       hold it. */
    /*@ assert check != \null && !check->slot && sealed_length != check->count ==>
          state_verdict(check) == IMGSEAL_CHECK_BAD_LENGTH; */
    if (check && !check->slot && sealed_length != check->count)
        return IMGSEAL_CHECK_BAD_LENGTH;
    /*@ assert check == \null ==> memory_verdict((uint8_t *)image, given) == IMGSEAL_CHECK_OK; */
    /*@ assert check != \null ==> state_verdict(check) == IMGSEAL_CHECK_OK; */

    /* Sealing summed the stamp (checksum and length) as zero. */
    sum = check ? check->sum : sum_words(image, sealed_length);
    /*@ ghost
        if (!check)
            stamp_taken_out(image, offset, sealed_length / 2u);
    */
    /*@ assert check == \null ==>
          (uint32_t)(sum - stamp_words((uint8_t *)fields, offset)) ==
          (uint32_t)image_words((uint8_t *)image, offset, sealed_length / 2); */
    /*@ assert check == \null ==>
          memory_checksum((uint8_t *)image) ==
          fold_complement((uint32_t)((uint32_t)(sum - stamp_words((uint8_t *)fields, offset)) +
                                     sealed_length % 0x10000 + sealed_length / 0x10000)); */
    /*@ assert check != \null ==>
          state_checksum(check) ==
          fold_complement((uint32_t)((uint32_t)(sum - stamp_words((uint8_t *)fields, offset)) +
                                     sealed_length % 0x10000 + sealed_length / 0x10000)); */
    if (!checksum_holds(sum, fields, offset, sealed_length))
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
    /*@ loop invariant 0 <= i <= 16;
        loop invariant \forall integer j; 0 <= j < i ==> check->kept[j] == 0;
        loop invariant \initialized(&check->kept[0 .. i - 1]);
        loop assigns i, check->kept[0 .. 15];
        loop variant 16 - i;
    */
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
/*@ requires 0 < n;
    requires \valid_read(p + (0 .. n - 1));
    requires \initialized(p + (0 .. n - 1));
    assigns \nothing;
    ensures \result == (uint32_t)(sum + piece_sum((uint8_t *)p, at, n));
*/
static uint32_t add_words(uint32_t sum, const uint8_t *p, uint32_t n, uint32_t at)
{
    uint32_t words = 0u; /* set where declared: see judge() */

    if (at % 2u != 0u) {
        /*@ ghost words_modulo(sum, p[0], p + 1, n - 1u); */
        /*@ assert piece_sum((uint8_t *)p, at, n) == p[0] + bytes_sum((uint8_t *)p + 1, n - 1); */
        sum += p[0];
        /*@ assert (uint32_t)(n - 1) == n - 1; */
        words = sum_words(p + 1, n - 1u);
        /*@ assert (uint32_t)(sum + words) == (uint32_t)(\at(sum, Pre) + piece_sum((uint8_t *)p, at, n)); */
        return sum + words;
    }
    /*@ ghost words_modulo(sum, 0u, p, n); */
    words = sum_words(p, n);
    /*@ assert (uint32_t)(sum + words) == (uint32_t)(sum + piece_sum((uint8_t *)p, at, n)); */
    return sum + words;
}

/* How far the bytes still decide the verdict once `given` have been kept:
   the header, then the descriptor, then the length; 0 once the verdict is
   final. */
/*@ requires \valid_read(check);
    requires ready(check);
    requires within(check);
    requires given == check->count;
    assigns \nothing;
    ensures \result == deciding_end(check);
*/
static uint32_t wanted(const struct imgseal_check *check, uint32_t given)
{
    uint32_t offset = 0u, length = 0u; /* set where declared: see judge() */

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

/* Keeps the header's bytes, positions 0-7, among the piece's [at, end). */
/*@ requires \valid(check);
    requires ready(check);
    requires at < end;
    requires \valid_read(piece + (0 .. end - at - 1));
    requires \initialized(piece + (0 .. end - at - 1));
    requires \separated(check, piece + (0 .. end - at - 1));
    assigns check->kept[0 .. 7];
    ensures \forall integer i; 0 <= i < 16 ==>
      check->kept[i] == (at <= i < end && i < 8 ? \old(piece[i - at]) : \old(check->kept[i]));
    ensures ready(check);
    ensures \forall integer k; 0 <= k < end - at ==> piece[k] == \old(piece[k]);
*/
static void keep_header(struct imgseal_check *check, const uint8_t *piece, uint32_t at,
                        uint32_t end)
{
    uint32_t position;

    /*@ loop invariant at <= position <= end && (position <= 8 || position == at);
        loop invariant \forall integer i; 0 <= i < 16 ==>
          check->kept[i] == (at <= i < position ? \at(piece[i - at], Pre) : \at(check->kept[i], Pre));
        loop invariant \initialized(&check->kept[0 .. 15]);
        loop assigns position, check->kept[0 .. 7];
        loop variant end - position;
    */
    for (position = at; position < end && position < HEADER_SIZE; ++position)
        check->kept[position] = piece[position - at];
}

/* Keeps descriptor bytes 8-15, positions offset + 8 to offset + 15, among the
   piece's [at, end). */
/*@ requires \valid(check);
    requires ready(check);
    requires at < end && offset < 0x80000000;
    requires \valid_read(piece + (0 .. end - at - 1));
    requires \initialized(piece + (0 .. end - at - 1));
    requires \separated(check, piece + (0 .. end - at - 1));
    assigns check->kept[8 .. 15];
    ensures \forall integer i; 0 <= i < 16 ==>
      check->kept[i] == (8 <= i && at <= offset + i < end ? \old(piece[offset + i - at]) :
                         \old(check->kept[i]));
    ensures ready(check);
    ensures \forall integer k; 0 <= k < end - at ==> piece[k] == \old(piece[k]);
*/
static void keep_descriptor(struct imgseal_check *check, const uint8_t *piece, uint32_t at,
                            uint32_t end, uint32_t offset)
{
    uint32_t position;

    /*@ loop invariant (at > offset + 8 ? at : offset + 8) <= position;
        loop invariant position == (at > offset + 8 ? at : offset + 8) ||
                       (position <= end && position <= offset + 16);
        loop invariant \forall integer i; 0 <= i < 16 ==>
          check->kept[i] ==
            (8 <= i && (at > offset + 8 ? at : offset + 8) <= offset + i < position ?
               \at(piece[offset + i - at], Pre) : \at(check->kept[i], Pre));
        loop invariant \initialized(&check->kept[0 .. 15]);
        loop assigns position, check->kept[8 .. 15];
        loop variant end - position;
    */
    for (position = at > offset + 8u ? at : offset + 8u;
         position < end && position < offset + DESCRIPTOR_SIZE; ++position)
        check->kept[position - offset] = piece[position - at];
}

void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size)
{
    const uint8_t *const piece = data;
    const uint32_t at = check->count;
    uint32_t n = check->limit - at;
    uint32_t end, sum_end, offset = 0u, length = 0u, sum = 0u; /* see judge() */

    if (size < n) {
        /*@ ghost narrow(size); */
        n = (uint32_t)size;
    }
    /*@ assert n <= size && n <= check->limit - at && (n == size || n == check->limit - at); */
    if (n == 0u)
        return;
    end = at + n;
    /*@ assert end == at + n && end <= check->limit; */
    /* kept[i] is the byte at position i, then at offset + i: the header comes
       first and says where the descriptor is, which lies past it. Once both
       have passed, there is nothing more to keep, and nothing past the length
       is summed: a slot goes on past the image. */
    keep_header(check, piece, at, end);
    sum_end = end;
    if (end > HEADER_SIZE) {
        offset = load_be32(check->kept + 4);
        /*@ assert offset == descriptor_offset(&check->kept[0]); */
        if (offset < OFFSET_LIMIT) {
            keep_descriptor(check, piece, at, end, offset);
            /*@ assert offset == descriptor_offset(&check->kept[0]); */
            if (end >= offset + DESCRIPTOR_SIZE) {
                length = load_be32(check->kept + 12);
                /*@ assert length == length_field(&check->kept[8]); */
                if (length < end)
                    sum_end = length;
            }
        }
    }
    /*@ assert sum_end <= end; */
    if (at < sum_end) {
        sum = add_words(check->sum, piece, sum_end - at, at);
        check->sum = sum;
    }
    /*@ assert 0 <= descriptor_offset(&check->kept[0]); */
    /*@ assert sum_end == (descriptor_offset(&check->kept[0]) < 0x80000000 &&
                           end >= descriptor_offset(&check->kept[0]) + 16 &&
                           length_field(&check->kept[8]) < end ? length_field(&check->kept[8]) : end); */
    /*@ assert check->sum == (uint32_t)(\at(check->sum, Pre) +
          (sum_end > at ? piece_sum((uint8_t *)data, at, sum_end - at) : 0)); */
    check->count = end;
}

uint32_t imgseal_check_needed(const struct imgseal_check *check)
{
    const uint32_t given = check->count;
    uint32_t until = 0u; /* set where declared: see judge() */

    until = wanted(check, given);

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
