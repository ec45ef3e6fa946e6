/* Checks an image's seal where the image is used: in boot code, with no
   operating system and no C library. Copy this file and imgseal_check.c in. */
#ifndef IMGSEAL_CHECK_H
#define IMGSEAL_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The first check that fails decides the result; they run in this order:
   BAD_LAYOUT for fewer than 8 bytes, ERASED, BAD_LAYOUT for the descriptor,
   then BAD_SIGNATURE, NOT_SEALED, BAD_LENGTH and BAD_CHECKSUM, and last the
   CRC: BAD_CRC, or NO_CRC where one is required. ERASED, BAD_CRC and NO_CRC
   came later, so that the others kept their numbers. */
enum imgseal_check_result {
    IMGSEAL_CHECK_OK = 0,
    IMGSEAL_CHECK_BAD_LAYOUT = 1,    /* under 8 bytes, a descriptor offset of 2^31 or
                                        more, or no descriptor within them */
    IMGSEAL_CHECK_BAD_SIGNATURE = 2, /* the signature byte is neither 0x55 nor 0xAA */
    IMGSEAL_CHECK_NOT_SEALED = 3,    /* checksum and length fields are both zero */
    IMGSEAL_CHECK_BAD_LENGTH = 4,    /* odd, short of the name field's end, or not
                                        the bytes there are */
    IMGSEAL_CHECK_BAD_CHECKSUM = 5,  /* the bytes no longer give the sealed checksum */
    IMGSEAL_CHECK_ERASED = 6,        /* the header's 8 bytes are all 0xFF: erased
                                        flash, no image */
    IMGSEAL_CHECK_BAD_CRC = 7,       /* the seal holds, but the image carries a
                                        CRC-32 that its bytes do not give */
    IMGSEAL_CHECK_NO_CRC = 8         /* the seal holds, a CRC is required and the
                                        image carries none */
};

/* The state of a check that reads an image in pieces. The struct's fields
   belong to the routine; its size is fixed. */
struct imgseal_check {
    uint32_t count;   /* bytes taken: those fed, up to `limit` */
    uint32_t limit;   /* the slot's size; 0xFFFFFFFF for a stream, where the
                         count is held once more bytes come */
    uint32_t sum;     /* the 16-bit big-endian words of the bytes taken, modulo
                         2^32, up to the length once the descriptor has come */
    uint8_t kept[16]; /* header bytes 0-7, then descriptor bytes 8-15 */
    uint8_t slot;     /* 1 after imgseal_check_begin_slot, 0 after _begin */
    uint8_t require;  /* 1 after imgseal_check_require_crc */
    uint8_t carries;  /* 0 until bytes 0-23 have been summed, then 1 where
                         they say the image carries a CRC, 2 where not */
    uint32_t crc;     /* the CRC register over the bytes taken from 24 up to
                         the length, once `carries` is 1 */
    uint8_t field[8]; /* image bytes 8-15: the CRC's marker and its value */
};
/* A build with IMGSEAL_CHECK_CRC set to 0 leaves crc, field, require and
   carries unused, and keeps them, so that the struct has one size in every build. */

/* The contracts below are those of the build without the CRC
   (IMGSEAL_CHECK_CRC 0), which tools/prove_boot.sh proves. With the CRC, an
   image for which they say IMGSEAL_CHECK_OK may instead get
   IMGSEAL_CHECK_BAD_CRC or IMGSEAL_CHECK_NO_CRC (CHECKS 8 in
   imgseal_check(3)); that code is tested, not yet proven. */
/*@ // What the checks mean, written from imgseal(1) (IMAGE LAYOUT, CHECKSUM)
    // and imgseal_check(3) (CHECKS), apart from the code. The contracts of the
    // functions promise these values; tools/prove_boot.sh proves that the code
    // keeps them (imgseal_check(3), PROOF).

  // C's rule for converting an integer to an unsigned type (C99 6.3.1.3):
  // 2^32 is added or subtracted until the value lies in [0, 2^32). WP's model
  // of uint32_t arithmetic leaves it out; it is the one axiom of the proof.
  axiomatic Conversion {
    axiom to_uint32: \forall integer x; (uint32_t)x == x - 0x100000000 * \floor(x / 4294967296.0);
  }

  // Every multi-byte field is unsigned and big-endian.
  logic integer be16(uint8_t *p) = p[0] * 0x100 + p[1];
  logic integer be32(uint8_t *p) = p[0] * 0x1000000 + p[1] * 0x10000 + p[2] * 0x100 + p[3];

  // The header is bytes 0 to 7; bytes 4 to 7 hold the descriptor's offset.
  logic integer descriptor_offset(uint8_t *header) = be32(header + 4);
  // Erased flash reads as 0xFF.
  logic boolean erased(uint8_t *header) =
    header[0] == 0xFF && header[1] == 0xFF && header[2] == 0xFF && header[3] == 0xFF &&
    header[4] == 0xFF && header[5] == 0xFF && header[6] == 0xFF && header[7] == 0xFF;

  // Descriptor bytes 8 to 15, at d: the signature byte at 8, the checksum at
  // 10 and 11, the length at 12 to 15.
  logic integer checksum_field(uint8_t *d) = d[2] * 0x100 + d[3];
  logic integer length_field(uint8_t *d) = be32(d + 4);

  // CHECKS 1 to 6 in their order, over `given` bytes whose header is at
  // `header` and whose descriptor bytes 8 to 15 are at d; `stream` for the
  // stream form, whose length must be the bytes fed. IMGSEAL_CHECK_OK when
  // every check but the sum passes.
  logic integer verdict(uint8_t *header, uint8_t *d, integer given, boolean stream) =
    given < 8 ? IMGSEAL_CHECK_BAD_LAYOUT :
    erased(header) ? IMGSEAL_CHECK_ERASED :
    descriptor_offset(header) >= 0x80000000 || descriptor_offset(header) + 16 > given ?
      IMGSEAL_CHECK_BAD_LAYOUT :
    d[0] != 0x55 && d[0] != 0xAA ? IMGSEAL_CHECK_BAD_SIGNATURE :
    checksum_field(d) == 0 && length_field(d) == 0 ? IMGSEAL_CHECK_NOT_SEALED :
    length_field(d) % 2 != 0 || length_field(d) < descriptor_offset(header) + 16 + 2000 ||
    (stream ? length_field(d) != given : length_field(d) > given) ?
      IMGSEAL_CHECK_BAD_LENGTH :
    IMGSEAL_CHECK_OK;

  // The memory form: the `available` bytes at image, its descriptor at the
  // header's offset.
  logic integer memory_verdict(uint8_t *image, integer available) =
    verdict(image, image + descriptor_offset(image) + 8, available, \false);

  // The stream and slot forms, on their state: the bytes given, the header
  // and descriptor bytes kept, and the scope.
  logic integer state_verdict(struct imgseal_check *c) =
    verdict(&c->kept[0], &c->kept[8], c->count, c->slot == 0);

  // CHECKSUM 1: the bytes as 16-bit big-endian words, the byte at an even
  // position the high-order one. The first m words at p:
  logic integer words(uint8_t *p, integer m) =
    m <= 0 ? 0 : words(p, m - 1) + p[2 * m - 2] * 0x100 + p[2 * m - 1];
  // The n bytes at p, the first at an even position: an odd last byte is the
  // high-order byte of a word whose low-order byte is zero.
  logic integer bytes_sum(uint8_t *p, integer n) =
    words(p, n / 2) + (n % 2 != 0 ? p[n - 1] * 0x100 : 0);
  // The n bytes at p, the first at position `at`: at an odd one, a low-order byte.
  logic integer piece_sum(uint8_t *p, integer at, integer n) =
    at % 2 == 0 || n <= 0 ? bytes_sum(p, n) : p[0] + bytes_sum(p + 1, n - 1);
  logic integer word_part(integer position, integer byte) =
    position % 2 == 0 ? byte * 0x100 : byte;

  // The image's first m words with the stamp, descriptor bytes 10 to 15 (the
  // checksum and length fields), taken as zero, as sealing summed them.
  logic integer image_byte(uint8_t *image, integer offset, integer position) =
    offset + 10 <= position < offset + 16 ? 0 : image[position];
  logic integer image_words(uint8_t *image, integer offset, integer m) =
    m <= 0 ? 0 :
    image_words(image, offset, m - 1) + image_byte(image, offset, 2 * m - 2) * 0x100 +
    image_byte(image, offset, 2 * m - 1);

  // CHECKSUM 4 and 5: the accumulator folded once, its high 16 bits added to
  // its low 16 bits and the carry out of bit 15 added back, then the low 16
  // bits complemented.
  logic integer fold_complement(integer accumulator) =
    \let folded = accumulator / 0x10000 + accumulator % 0x10000;
    \let carried = folded % 0x10000 + folded / 0x10000;
    0xFFFF - carried % 0x10000;
  // CHECKSUM 2 and 3: the words added modulo 2^32 into an accumulator, and
  // the length's low and high 16 bits added to it modulo 2^32.
  logic integer checksum(integer sum, integer length) =
    fold_complement((uint32_t)((uint32_t)sum + length % 0x10000 + length / 0x10000));

  // The memory form's checksum of the first `length` bytes (even, by check 6).
  logic integer memory_checksum(uint8_t *image) =
    \let offset = descriptor_offset(image);
    \let length = length_field(image + offset + 8);
    checksum(image_words(image, offset, length / 2), length);

  // The stream and slot forms sum every byte taken up to the length, the
  // stamp's included, and take the stamp's words, kept at d, back out.
  logic integer stamp_words(uint8_t *d, integer offset) =
    word_part(offset + 10, d[2]) + word_part(offset + 11, d[3]) + word_part(offset + 12, d[4]) +
    word_part(offset + 13, d[5]) + word_part(offset + 14, d[6]) + word_part(offset + 15, d[7]);
  logic integer state_checksum(struct imgseal_check *c) =
    checksum(c->sum - stamp_words(&c->kept[8], descriptor_offset(&c->kept[0])),
             length_field(&c->kept[8]));

  // Where the stream and slot forms stop summing: at the length once the
  // descriptor has come, else at the bytes taken.
  logic integer sum_end(struct imgseal_check *c) =
    descriptor_offset(&c->kept[0]) < 0x80000000 &&
    c->count >= descriptor_offset(&c->kept[0]) + 16 && length_field(&c->kept[8]) < c->count ?
      length_field(&c->kept[8]) : c->count;

  // imgseal_check_needed(): how far the bytes still decide the verdict, for a
  // slot of `limit` bytes (a stream's limit is 0xFFFFFFFF), by its rules 1 to 5.
  logic integer deciding_end(struct imgseal_check *c) =
    \let offset = descriptor_offset(&c->kept[0]);
    \let d = &c->kept[8];
    c->count < 8 ? 8 :
    erased(&c->kept[0]) || offset >= 0x80000000 || offset + 16 > c->limit ? 0 :
    c->count < offset + 16 ? offset + 16 :
    (d[0] != 0x55 && d[0] != 0xAA) || (checksum_field(d) == 0 && length_field(d) == 0) ||
    length_field(d) % 2 != 0 || length_field(d) < offset + 16 + 2000 ||
    length_field(d) > c->limit ? 0 :
    length_field(d);

  // A state that imgseal_check_begin() or imgseal_check_begin_slot() set and
  // only imgseal_check_feed() changed: every field set, and no more bytes
  // taken than the limit.
  predicate ready(struct imgseal_check *c) =
    \initialized(&c->count) && \initialized(&c->limit) && \initialized(&c->sum) &&
    \initialized(&c->kept[0 .. 15]) && \initialized(&c->slot);
  predicate within(struct imgseal_check *c) = c->count <= c->limit;

  // A name for logs: n characters, readable, then the ending zero.
  predicate ends_at(char *s, integer n) = \valid_read(s + (0 .. n)) && s[n] == 0;
*/

/* An image in memory (memory-mapped flash, a RAM buffer). At most `available`
   bytes from `image` may be read: the slot's size. The length comes from the
   seal, and only bytes [0, length) are read and summed. On IMGSEAL_CHECK_OK the
   length is stored in *length, unless length is NULL. */
/*@ requires \valid_read((uint8_t *)image + (0 .. available - 1));
    requires \initialized((uint8_t *)image + (0 .. available - 1));
    requires length == \null || \valid(length);
    assigns *length;
    ensures \old(memory_verdict((uint8_t *)image, available)) != IMGSEAL_CHECK_OK ==>
      \result == \old(memory_verdict((uint8_t *)image, available));
    ensures \old(memory_verdict((uint8_t *)image, available)) == IMGSEAL_CHECK_OK ==>
      \result == IMGSEAL_CHECK_OK || \result == IMGSEAL_CHECK_BAD_CHECKSUM;
    ensures sum: \old(memory_verdict((uint8_t *)image, available)) == IMGSEAL_CHECK_OK ==>
      (\result == IMGSEAL_CHECK_OK <==>
       \old(checksum_field((uint8_t *)image + descriptor_offset((uint8_t *)image) + 8) ==
             memory_checksum((uint8_t *)image)));
    ensures \result == IMGSEAL_CHECK_OK && length != \null ==>
      *length == \old(length_field((uint8_t *)image + descriptor_offset((uint8_t *)image) + 8));
    ensures \result != IMGSEAL_CHECK_OK && length != \null ==> *length == \old(*length);
*/
enum imgseal_check_result imgseal_check_memory(const void *image, uint32_t available,
                                               uint32_t *length);

/* As imgseal_check_memory(), for a caller that must refuse an image without
   a CRC: such an image, its seal holding, gets IMGSEAL_CHECK_NO_CRC. A build
   without the CRC (IMGSEAL_CHECK_CRC 0) does not define it, so that such a
   caller fails to link rather than passing an image unchecked. */
/*@ requires \valid_read((uint8_t *)image + (0 .. available - 1));
    requires \initialized((uint8_t *)image + (0 .. available - 1));
    requires length == \null || \valid(length);
    assigns *length;
    ensures \result != IMGSEAL_CHECK_OK && length != \null ==> *length == \old(*length);
*/
enum imgseal_check_result imgseal_check_memory_crc(const void *image, uint32_t available,
                                                   uint32_t *length);

/* An image that arrives in pieces, in order. Pieces may have any size,
   including 0 (with data NULL if need be) and odd sizes. */

/* A stream that is the image: its size must equal the length field. */
/*@ requires \valid(check);
    assigns *check;
    ensures ready(check) && within(check);
    ensures check->count == 0 && check->limit == 0xFFFFFFFF && check->sum == 0 && check->slot == 0;
    ensures \forall integer i; 0 <= i < 16 ==> check->kept[i] == 0;
*/
void imgseal_check_begin(struct imgseal_check *check);

/* A slot read in pieces, from its start: the image is at the start of the
   slot and whatever follows it (erased flash) is ignored. At most slot_size
   bytes are taken into account; bytes fed past the slot's end are ignored. */
/*@ requires \valid(check);
    assigns *check;
    ensures ready(check) && within(check);
    ensures check->count == 0 && check->limit == slot_size && check->sum == 0 && check->slot == 1;
    ensures \forall integer i; 0 <= i < 16 ==> check->kept[i] == 0;
*/
void imgseal_check_begin_slot(struct imgseal_check *check, uint32_t slot_size);

/* Called after imgseal_check_begin() or imgseal_check_begin_slot(), before
   the first piece: imgseal_check_end() then gives IMGSEAL_CHECK_NO_CRC to an
   image whose seal holds but that carries no CRC. Not defined in a build
   without the CRC, as imgseal_check_memory_crc(). */
/*@ requires \valid(check);
    assigns check->require;
    ensures check->require == 1;
*/
void imgseal_check_require_crc(struct imgseal_check *check);

/* The pieces lie apart from the struct. Each byte of the header, and each of
   descriptor bytes 8-15 once the header has said where they are, is kept as
   it comes; the count grows by the bytes taken, held at the limit; the sum
   grows by the words of those up to the length. */
/*@ requires \valid(check);
    requires ready(check);
    requires within(check);
    requires \valid_read((uint8_t *)data + (0 .. size - 1));
    requires \initialized((uint8_t *)data + (0 .. size - 1));
    requires \separated(check, (uint8_t *)data + (0 .. size - 1));
    assigns *check;
    ensures ready(check);
    ensures within(check);
    ensures check->limit == \old(check->limit) && check->slot == \old(check->slot);
    ensures check->count == \old(check->count) +
      (size < \old(check->limit) - \old(check->count) ? size : \old(check->limit) - \old(check->count));
    ensures \forall integer i; 0 <= i < 8 ==>
      check->kept[i] == (\old(check->count) <= i < check->count ?
                         \old(((uint8_t *)data)[i - \old(check->count)]) : \old(check->kept[i]));
    ensures descriptor_kept: \let offset = descriptor_offset(&check->kept[0]);
      \forall integer i; 8 <= i < 16 ==>
        check->kept[i] ==
          (offset < 0x80000000 && \old(check->count) <= offset + i < check->count ?
             \at(((uint8_t *)data)[offset + i - \old(check->count)], Pre) : \old(check->kept[i]));
    ensures sum: check->sum ==
      (uint32_t)(\old(check->sum) +
                 (sum_end(check) > \old(check->count) ?
                    piece_sum((uint8_t *)data, \old(check->count), sum_end(check) - \old(check->count)) : 0));
*/
void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size);

/* How many more bytes the check needs before imgseal_check_end() gives the
   verdict that the whole slot would get: 0 once nothing that can still
   arrive changes it. For a stream, 0 once the bytes fed reach the length;
   its verdict still depends on where it ends, since a stream must be exactly
   the length. */
/*@ requires \valid_read(check);
    requires ready(check);
    requires within(check);
    assigns \nothing;
    ensures \let until = deciding_end(check) < check->limit ? deciding_end(check) : check->limit;
      \result == (until > check->count ? until - check->count : 0);
    ensures \result <= check->limit - check->count;
*/
uint32_t imgseal_check_needed(const struct imgseal_check *check);

/* For a slot: the verdict of imgseal_check_memory() on the first
   min(count, slot_size) bytes fed, taken as a slot of that size. */
/*@ requires \valid_read(check);
    requires ready(check);
    requires within(check);
    requires length == \null || \valid(length);
    assigns *length;
    ensures \old(state_verdict(check)) != IMGSEAL_CHECK_OK ==> \result == \old(state_verdict(check));
    ensures \old(state_verdict(check)) == IMGSEAL_CHECK_OK ==>
      \result == IMGSEAL_CHECK_OK || \result == IMGSEAL_CHECK_BAD_CHECKSUM;
    ensures sum: \old(state_verdict(check)) == IMGSEAL_CHECK_OK ==>
      (\result == IMGSEAL_CHECK_OK <==>
       \old(checksum_field(&check->kept[8]) == state_checksum(check)));
    ensures \result == IMGSEAL_CHECK_OK && length != \null ==>
      *length == \old(length_field(&check->kept[8]));
    ensures \result != IMGSEAL_CHECK_OK && length != \null ==> *length == \old(*length);
*/
enum imgseal_check_result imgseal_check_end(const struct imgseal_check *check,
                                            uint32_t *length);

/* The result's name as in the enum without its prefix ("OK", "BAD_LAYOUT", ...),
   for logs; "?" for a value outside the enum. */
/*@ assigns \nothing;
    ensures result == IMGSEAL_CHECK_OK ==>
      ends_at(\result, 2) && \result[0] == 'O' && \result[1] == 'K';
    ensures result == IMGSEAL_CHECK_BAD_LAYOUT ==>
      ends_at(\result, 10) && \result[0] == 'B' && \result[1] == 'A' && \result[2] == 'D' &&
      \result[3] == '_' && \result[4] == 'L' && \result[5] == 'A' && \result[6] == 'Y' &&
      \result[7] == 'O' && \result[8] == 'U' && \result[9] == 'T';
    ensures result == IMGSEAL_CHECK_BAD_SIGNATURE ==>
      ends_at(\result, 13) && \result[0] == 'B' && \result[1] == 'A' && \result[2] == 'D' &&
      \result[3] == '_' && \result[4] == 'S' && \result[5] == 'I' && \result[6] == 'G' &&
      \result[7] == 'N' && \result[8] == 'A' && \result[9] == 'T' && \result[10] == 'U' &&
      \result[11] == 'R' && \result[12] == 'E';
    ensures result == IMGSEAL_CHECK_NOT_SEALED ==>
      ends_at(\result, 10) && \result[0] == 'N' && \result[1] == 'O' && \result[2] == 'T' &&
      \result[3] == '_' && \result[4] == 'S' && \result[5] == 'E' && \result[6] == 'A' &&
      \result[7] == 'L' && \result[8] == 'E' && \result[9] == 'D';
    ensures result == IMGSEAL_CHECK_BAD_LENGTH ==>
      ends_at(\result, 10) && \result[0] == 'B' && \result[1] == 'A' && \result[2] == 'D' &&
      \result[3] == '_' && \result[4] == 'L' && \result[5] == 'E' && \result[6] == 'N' &&
      \result[7] == 'G' && \result[8] == 'T' && \result[9] == 'H';
    ensures result == IMGSEAL_CHECK_BAD_CHECKSUM ==>
      ends_at(\result, 12) && \result[0] == 'B' && \result[1] == 'A' && \result[2] == 'D' &&
      \result[3] == '_' && \result[4] == 'C' && \result[5] == 'H' && \result[6] == 'E' &&
      \result[7] == 'C' && \result[8] == 'K' && \result[9] == 'S' && \result[10] == 'U' &&
      \result[11] == 'M';
    ensures result == IMGSEAL_CHECK_ERASED ==>
      ends_at(\result, 6) && \result[0] == 'E' && \result[1] == 'R' && \result[2] == 'A' &&
      \result[3] == 'S' && \result[4] == 'E' && \result[5] == 'D';
    ensures result == IMGSEAL_CHECK_BAD_CRC ==>
      ends_at(\result, 7) && \result[0] == 'B' && \result[1] == 'A' && \result[2] == 'D' &&
      \result[3] == '_' && \result[4] == 'C' && \result[5] == 'R' && \result[6] == 'C';
    ensures result == IMGSEAL_CHECK_NO_CRC ==>
      ends_at(\result, 6) && \result[0] == 'N' && \result[1] == 'O' && \result[2] == '_' &&
      \result[3] == 'C' && \result[4] == 'R' && \result[5] == 'C';
    ensures !(IMGSEAL_CHECK_OK <= result <= IMGSEAL_CHECK_NO_CRC) ==>
      ends_at(\result, 1) && \result[0] == '?';
*/
const char *imgseal_check_result_name(enum imgseal_check_result result);

#ifdef __cplusplus
}
#endif

#endif
