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

/* The CRC-32 (docs/imgseal-verify.1): 256 for a table of 256 entries (1 KiB,
   a step a byte), 16 for one of 16 (64 bytes, two steps a byte), 0 for no
   CRC at all, the size and the figures of the seal check alone. */
#ifndef IMGSEAL_CHECK_CRC
#define IMGSEAL_CHECK_CRC 256
#endif
#if IMGSEAL_CHECK_CRC != 0 && IMGSEAL_CHECK_CRC != 16 && IMGSEAL_CHECK_CRC != 256
#error "IMGSEAL_CHECK_CRC must be 0, 16 or 256"
#endif
/* An image carries a CRC when its descriptor is at 8 and image bytes 8-11
   hold the marker; bytes 12-15 hold the CRC. The CRC covers the first
   `length` bytes with 12-15 and 18-23 (the CRC and the seal's stamp) taken as
   zero, so that bytes 0-23 are all kept once they have passed, and the CRC of
   the image's bytes runs from 24 on. */
#define CRC_OFFSET 8u
#define CRC_MARKER 0x89435243u
#define CRC_HEAD 24u
/* What a stream knows of its image's CRC (struct imgseal_check's carries). */
#define CRC_UNDECIDED 0u
#define CRC_PRESENT 1u
#define CRC_ABSENT 2u

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

#if IMGSEAL_CHECK_CRC
/* The reflected polynomial 0xEDB88320: entry i is the register i after 8
   (or 4) steps of a bit, in flash as words. */
#if IMGSEAL_CHECK_CRC == 256
static const uint32_t crc_table[256] = {
    0x00000000u, 0x77073096u, 0xEE0E612Cu, 0x990951BAu,
    0x076DC419u, 0x706AF48Fu, 0xE963A535u, 0x9E6495A3u,
    0x0EDB8832u, 0x79DCB8A4u, 0xE0D5E91Eu, 0x97D2D988u,
    0x09B64C2Bu, 0x7EB17CBDu, 0xE7B82D07u, 0x90BF1D91u,
    0x1DB71064u, 0x6AB020F2u, 0xF3B97148u, 0x84BE41DEu,
    0x1ADAD47Du, 0x6DDDE4EBu, 0xF4D4B551u, 0x83D385C7u,
    0x136C9856u, 0x646BA8C0u, 0xFD62F97Au, 0x8A65C9ECu,
    0x14015C4Fu, 0x63066CD9u, 0xFA0F3D63u, 0x8D080DF5u,
    0x3B6E20C8u, 0x4C69105Eu, 0xD56041E4u, 0xA2677172u,
    0x3C03E4D1u, 0x4B04D447u, 0xD20D85FDu, 0xA50AB56Bu,
    0x35B5A8FAu, 0x42B2986Cu, 0xDBBBC9D6u, 0xACBCF940u,
    0x32D86CE3u, 0x45DF5C75u, 0xDCD60DCFu, 0xABD13D59u,
    0x26D930ACu, 0x51DE003Au, 0xC8D75180u, 0xBFD06116u,
    0x21B4F4B5u, 0x56B3C423u, 0xCFBA9599u, 0xB8BDA50Fu,
    0x2802B89Eu, 0x5F058808u, 0xC60CD9B2u, 0xB10BE924u,
    0x2F6F7C87u, 0x58684C11u, 0xC1611DABu, 0xB6662D3Du,
    0x76DC4190u, 0x01DB7106u, 0x98D220BCu, 0xEFD5102Au,
    0x71B18589u, 0x06B6B51Fu, 0x9FBFE4A5u, 0xE8B8D433u,
    0x7807C9A2u, 0x0F00F934u, 0x9609A88Eu, 0xE10E9818u,
    0x7F6A0DBBu, 0x086D3D2Du, 0x91646C97u, 0xE6635C01u,
    0x6B6B51F4u, 0x1C6C6162u, 0x856530D8u, 0xF262004Eu,
    0x6C0695EDu, 0x1B01A57Bu, 0x8208F4C1u, 0xF50FC457u,
    0x65B0D9C6u, 0x12B7E950u, 0x8BBEB8EAu, 0xFCB9887Cu,
    0x62DD1DDFu, 0x15DA2D49u, 0x8CD37CF3u, 0xFBD44C65u,
    0x4DB26158u, 0x3AB551CEu, 0xA3BC0074u, 0xD4BB30E2u,
    0x4ADFA541u, 0x3DD895D7u, 0xA4D1C46Du, 0xD3D6F4FBu,
    0x4369E96Au, 0x346ED9FCu, 0xAD678846u, 0xDA60B8D0u,
    0x44042D73u, 0x33031DE5u, 0xAA0A4C5Fu, 0xDD0D7CC9u,
    0x5005713Cu, 0x270241AAu, 0xBE0B1010u, 0xC90C2086u,
    0x5768B525u, 0x206F85B3u, 0xB966D409u, 0xCE61E49Fu,
    0x5EDEF90Eu, 0x29D9C998u, 0xB0D09822u, 0xC7D7A8B4u,
    0x59B33D17u, 0x2EB40D81u, 0xB7BD5C3Bu, 0xC0BA6CADu,
    0xEDB88320u, 0x9ABFB3B6u, 0x03B6E20Cu, 0x74B1D29Au,
    0xEAD54739u, 0x9DD277AFu, 0x04DB2615u, 0x73DC1683u,
    0xE3630B12u, 0x94643B84u, 0x0D6D6A3Eu, 0x7A6A5AA8u,
    0xE40ECF0Bu, 0x9309FF9Du, 0x0A00AE27u, 0x7D079EB1u,
    0xF00F9344u, 0x8708A3D2u, 0x1E01F268u, 0x6906C2FEu,
    0xF762575Du, 0x806567CBu, 0x196C3671u, 0x6E6B06E7u,
    0xFED41B76u, 0x89D32BE0u, 0x10DA7A5Au, 0x67DD4ACCu,
    0xF9B9DF6Fu, 0x8EBEEFF9u, 0x17B7BE43u, 0x60B08ED5u,
    0xD6D6A3E8u, 0xA1D1937Eu, 0x38D8C2C4u, 0x4FDFF252u,
    0xD1BB67F1u, 0xA6BC5767u, 0x3FB506DDu, 0x48B2364Bu,
    0xD80D2BDAu, 0xAF0A1B4Cu, 0x36034AF6u, 0x41047A60u,
    0xDF60EFC3u, 0xA867DF55u, 0x316E8EEFu, 0x4669BE79u,
    0xCB61B38Cu, 0xBC66831Au, 0x256FD2A0u, 0x5268E236u,
    0xCC0C7795u, 0xBB0B4703u, 0x220216B9u, 0x5505262Fu,
    0xC5BA3BBEu, 0xB2BD0B28u, 0x2BB45A92u, 0x5CB36A04u,
    0xC2D7FFA7u, 0xB5D0CF31u, 0x2CD99E8Bu, 0x5BDEAE1Du,
    0x9B64C2B0u, 0xEC63F226u, 0x756AA39Cu, 0x026D930Au,
    0x9C0906A9u, 0xEB0E363Fu, 0x72076785u, 0x05005713u,
    0x95BF4A82u, 0xE2B87A14u, 0x7BB12BAEu, 0x0CB61B38u,
    0x92D28E9Bu, 0xE5D5BE0Du, 0x7CDCEFB7u, 0x0BDBDF21u,
    0x86D3D2D4u, 0xF1D4E242u, 0x68DDB3F8u, 0x1FDA836Eu,
    0x81BE16CDu, 0xF6B9265Bu, 0x6FB077E1u, 0x18B74777u,
    0x88085AE6u, 0xFF0F6A70u, 0x66063BCAu, 0x11010B5Cu,
    0x8F659EFFu, 0xF862AE69u, 0x616BFFD3u, 0x166CCF45u,
    0xA00AE278u, 0xD70DD2EEu, 0x4E048354u, 0x3903B3C2u,
    0xA7672661u, 0xD06016F7u, 0x4969474Du, 0x3E6E77DBu,
    0xAED16A4Au, 0xD9D65ADCu, 0x40DF0B66u, 0x37D83BF0u,
    0xA9BCAE53u, 0xDEBB9EC5u, 0x47B2CF7Fu, 0x30B5FFE9u,
    0xBDBDF21Cu, 0xCABAC28Au, 0x53B39330u, 0x24B4A3A6u,
    0xBAD03605u, 0xCDD70693u, 0x54DE5729u, 0x23D967BFu,
    0xB3667A2Eu, 0xC4614AB8u, 0x5D681B02u, 0x2A6F2B94u,
    0xB40BBE37u, 0xC30C8EA1u, 0x5A05DF1Bu, 0x2D02EF8Du
};

/* One byte into the CRC register. */
#define CRC_BYTE(crc, byte) (((crc) ^ (byte)) >> 8 ^ crc_table[(uint8_t)((crc) ^ (byte))])
#else
static const uint32_t crc_table[16] = {
    0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu,
    0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
    0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu,
    0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu
};

/* One byte into the CRC register, a nibble at a time. */
#define CRC_NIBBLE(crc) ((crc) >> 4 ^ crc_table[(crc) & 0xFu])
#define CRC_BYTE(crc, byte) CRC_NIBBLE(CRC_NIBBLE((crc) ^ (byte)))
#endif

/* Whether the image carries a CRC: its header at `header`, its bytes 8-11 at
   `marker`, which are read only where the descriptor is at 8. */
static int carries_crc(const volatile uint8_t *header, const volatile uint8_t *marker)
{
    return load_be32(header + 4) == CRC_OFFSET && load_be32(marker) == CRC_MARKER;
}

/* The CRC register after n bytes from `crc`: the first `real` of them at p,
   the rest zero. Image bytes 0-23 take two or three calls, since the CRC
   field (12-15) and the stamp (18-23) count as zero and a stream keeps those
   bytes in two places; each call is a leaf of 20 bytes of stack or less. */
static uint32_t crc_bytes(uint32_t crc, const volatile uint8_t *p, uint32_t real, uint32_t n)
{
    uint32_t i, byte;

    for (i = 0u; i < n; ++i) {
        byte = i < real ? p[i] : 0u;
        crc = CRC_BYTE(crc, byte);
    }
    return crc;
}

/* sum_words() with the CRC beside it, for an even n: the words of the n
   bytes at p, the first at an even position, added to `sum` modulo 2^32, and
   those bytes into the CRC register `crc`; the sum in the low half of the
   result, the register in the high half. One loop reads each byte once for
   both; two loops would take a Cortex-M0 more cycles a byte than
   imgseal_check(3) allows. Both results come back in registers, so that
   neither this function nor its caller keeps one in memory, which holds the
   stack to 80 bytes (imgseal_check(3), RESOURCES). The shape of each loop is
   for gcc -Os on that core, where it uses the eight low registers and no
   memory but the stack's push. */
static uint64_t sum_words_crc(const uint8_t *p, uint32_t n, uint32_t crc, uint32_t sum)
{
    const uint8_t *const end = p + n;
#if IMGSEAL_CHECK_CRC == 256
    /* The high-order bytes summed apart, as in sum_words(); the odd word
       first, then two words a turn: 11.25 cycles a byte. */
    uint32_t high = 0u, low = sum, byte0, byte1;

    if (n % 4u != 0u) {
        byte0 = p[0];
        high += byte0;
        byte1 = p[1];
        low += byte1;
        crc = CRC_BYTE(crc, byte0);
        crc = CRC_BYTE(crc, byte1);
        p += 2;
    }
    if (p != end)
        do {
            byte0 = p[0];
            high += byte0;
            byte1 = p[1];
            low += byte1;
            crc = CRC_BYTE(crc, byte0);
            crc = CRC_BYTE(crc, byte1);
            byte0 = p[2];
            high += byte0;
            byte1 = p[3];
            low += byte1;
            crc = CRC_BYTE(crc, byte0);
            crc = CRC_BYTE(crc, byte1);
            p += 4;
        } while (p != end);
    sum = high * 256u + low;
#else
    /* A word a turn, one sum: the low-order byte goes into the register
       with the high-order byte's second nibble step, (crc >> 4 ^ byte) ^
       entry rather than (crc >> 4 ^ entry) ^ byte, the same value, which
       leaves gcc no copy to make: 19 cycles a byte. */
    uint32_t byte;

    if (p != end)
        do {
            byte = p[0];
            sum += byte * 256u;
            crc ^= byte;
            crc = CRC_NIBBLE(crc);
            byte = p[1];
            sum += byte;
            crc = (crc >> 4 ^ byte) ^ crc_table[crc & 0xFu];
            crc = CRC_NIBBLE(crc);
            crc = CRC_NIBBLE(crc);
            p += 2;
        } while (p != end);
#endif
    return (uint64_t)crc << 32 | sum;
}

/* The CRC's verdict once the seal holds: the register over the whole image
   against the field at `stored` (image bytes 12-15), for an image that
   carries a CRC; for one that does not, NO_CRC where one is required. */
static enum imgseal_check_result check_crc(int carries, uint32_t crc,
                                           const volatile uint8_t *stored, int require)
{
    if (carries)
        return (crc ^ 0xFFFFFFFFu) == load_be32(stored) ? IMGSEAL_CHECK_OK
                                                         : IMGSEAL_CHECK_BAD_CRC;
    return require ? IMGSEAL_CHECK_NO_CRC : IMGSEAL_CHECK_OK;
}
#endif

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
/* Whether a CRC is required: a parameter of judge() only where there is a
   CRC, so that a build without it is the seal check's code alone. */
#if IMGSEAL_CHECK_CRC
#define REQUIRE_PARAMETER int require,
#define REQUIRE(required) (required),
#else
#define REQUIRE_PARAMETER
#define REQUIRE(required)
#endif

static enum imgseal_check_result judge(const struct imgseal_check *check,
                                       const uint8_t *image, uint32_t given,
                                       REQUIRE_PARAMETER uint32_t *length)
{
    const volatile uint8_t *const header = check ? check->kept : image;
    const volatile uint8_t *fields;
    /* Set where declared, though set again before they are read: the proof's
       tool counts no call's result as setting a variable (imgseal_check(3),
       PROOF). A compiler drops these stores. */
    uint32_t offset = 0u, sealed_length = 0u, sum = 0u;
    enum imgseal_check_result result = IMGSEAL_CHECK_OK;
#if IMGSEAL_CHECK_CRC
    /* The CRC's verdict for an image without one. The memory form settles
       that of an image that carries one as its pass ends, against the
       register that its field asks for, read before the pass: past the
       pass, judge() keeps the verdict alone, and no call comes between the
       pass and the comparison, which holds its stack to 40 bytes. */
    enum imgseal_check_result crc_result = require ? IMGSEAL_CHECK_NO_CRC : IMGSEAL_CHECK_OK;
    uint32_t expected = 0u;
    uint64_t both = 0u;
#endif

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
#if IMGSEAL_CHECK_CRC
    /* The descriptor lies within the bytes given, so bytes 8-15 do where it
       is at 8. The memory form's CRC rides on its sum from byte 24 on. */
    if (!check && carries_crc(image, image + 8)) {
        expected = load_be32(image + 12) ^ 0xFFFFFFFFu;
        both = sum_words_crc(image + CRC_HEAD, sealed_length - CRC_HEAD,
                             crc_bytes(crc_bytes(0xFFFFFFFFu, image, 12u, 16u), image + 16, 2u, 8u),
                             sum_words(image, CRC_HEAD));
        sum = (uint32_t)both;
        crc_result = (uint32_t)(both >> 32) == expected ? IMGSEAL_CHECK_OK : IMGSEAL_CHECK_BAD_CRC;
    } else
#endif
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
#if IMGSEAL_CHECK_CRC
    /* Image bytes 8-15: kept apart by the stream and slot forms. */
    if (check)
        crc_result = check_crc(carries_crc(check->kept, check->field), check->crc,
                               check->field + 4, check->require);
    if (crc_result != IMGSEAL_CHECK_OK)
        return crc_result;
#endif
    if (length)
        *length = sealed_length;
    return IMGSEAL_CHECK_OK;
}

enum imgseal_check_result imgseal_check_memory(const void *image, uint32_t available,
                                               uint32_t *length)
{
    return judge(NULL, image, available, REQUIRE(0) length);
}

#if IMGSEAL_CHECK_CRC
enum imgseal_check_result imgseal_check_memory_crc(const void *image, uint32_t available,
                                                   uint32_t *length)
{
    return judge(NULL, image, available, REQUIRE(1) length);
}
#endif

void imgseal_check_begin_slot(struct imgseal_check *check, uint32_t slot_size)
{
    unsigned i;

    check->count = 0u;
    check->limit = slot_size;
    check->sum = 0u;
    check->slot = 1u;
#if IMGSEAL_CHECK_CRC
    check->crc = 0u;
    check->require = 0u;
    check->carries = 0u;
    /*@ loop invariant 0 <= i <= 8;
        loop invariant \forall integer j; 0 <= j < i ==> check->field[j] == 0;
        loop invariant \initialized(&check->field[0 .. i - 1]);
        loop assigns i, check->field[0 .. 7];
        loop variant 8 - i;
    */
    for (i = 0u; i < sizeof check->field; ++i)
        check->field[i] = 0u;
#endif
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

#if IMGSEAL_CHECK_CRC
void imgseal_check_require_crc(struct imgseal_check *check)
{
    check->require = 1u;
}
#endif

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

#if IMGSEAL_CHECK_CRC
/* gcc -Os inlines a static function that has one caller. Kept out of line,
   a stream's CRC code leaves imgseal_check_feed() the registers and the
   stack frame that it has without the CRC, so that a stream without a CRC
   costs what it costs there but for a test a piece, and each function's
   frame stays small enough for the deepest call chain to stay within 80
   bytes. */
#if defined(__GNUC__)
#define NOT_INLINED __attribute__((noinline))
#else
#define NOT_INLINED
#endif

/* The bytes of a stream's piece [at, sum_end) before 24, for an `at` below
   24: they come once, so this keeps image bytes 8-15 among them and adds
   their words to the sum a byte at a time, as add_words() would. The piece
   that brings byte 23 decides whether the image carries a CRC, as
   carries_crc() does, here without its calls, which would deepen the stack.
   Returns where the piece's bytes go on from: 24, or sum_end where the piece
   stops before it. */
NOT_INLINED static uint32_t add_head(struct imgseal_check *check, const uint8_t *piece,
                                     uint32_t at, uint32_t sum_end)
{
    uint32_t from = at, sum = check->sum;

    for (; from < sum_end && from < CRC_HEAD; ++from) {
        if (from >= 8u && from < 16u)
            check->field[from - 8u] = piece[from - at];
        sum += from % 2u != 0u ? piece[from - at] : piece[from - at] * 256u;
    }
    check->sum = sum;
    if (from == CRC_HEAD)
        check->carries = (check->kept[4] | check->kept[5] | check->kept[6]) == 0u &&
                                 check->kept[7] == CRC_OFFSET &&
                                 check->field[0] == (CRC_MARKER >> 24) &&
                                 check->field[1] == (CRC_MARKER >> 16 & 0xFFu) &&
                                 check->field[2] == (CRC_MARKER >> 8 & 0xFFu) &&
                                 check->field[3] == (CRC_MARKER & 0xFFu)
                             ? CRC_PRESENT
                             : CRC_ABSENT;
    return from;
}

/* The words of a stream's piece [at, sum_end) added to its sum, as
   add_words() does, and those from 24 on into the CRC register; returns the
   sum. The piece that decides whether the image carries a CRC starts the
   register from the bytes kept and runs its bytes from 24 through the CRC
   whatever it decided; imgseal_check_feed() sums the next pieces of an image
   without a CRC with add_words() alone. No piece from 24 on finds the
   stream undecided: the piece that brings byte 23 sums up to 24 unless the
   length is below 24, and then nothing past the length is summed. Were it
   otherwise, the register would miss bytes, and an image that carries a CRC
   would be refused, not passed. */
NOT_INLINED static uint32_t add_words_crc(struct imgseal_check *check, const uint8_t *piece,
                                          uint32_t at, uint32_t sum_end)
{
    uint32_t n = 0u, crc = 0u; /* set where declared: see judge() */
    uint64_t both = 0u;

    if (check->carries == CRC_UNDECIDED && at < CRC_HEAD) {
        if (add_head(check, piece, at, sum_end) < CRC_HEAD)
            return check->sum;
        check->crc = crc_bytes(crc_bytes(crc_bytes(0xFFFFFFFFu, check->kept, 8u, 8u),
                                         check->field, 4u, 8u),
                               check->kept + 8, 2u, 8u);
        piece += CRC_HEAD - at;
        at = CRC_HEAD;
    }
    n = sum_end - at;
    /* A byte at an odd position is a word's low-order one; the piece's last
       byte, at an even one, a high-order one. */
    if (at % 2u != 0u && n != 0u) {
        crc = check->crc;
        check->sum += piece[0];
        check->crc = CRC_BYTE(crc, piece[0]);
        ++piece;
        --n;
    }
    both = sum_words_crc(piece, n & ~1u, check->crc, check->sum);
    check->sum = (uint32_t)both;
    check->crc = (uint32_t)(both >> 32);
    if (n % 2u != 0u) {
        crc = check->crc;
        check->sum += piece[n - 1u] * 256u;
        check->crc = CRC_BYTE(crc, piece[n - 1u]);
    }
    return check->sum;
}
#endif

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
#if IMGSEAL_CHECK_CRC
        /* The image without a CRC first, where gcc lays it out straight. */
        if (check->carries == CRC_ABSENT)
#endif
            sum = add_words(check->sum, piece, sum_end - at, at);
#if IMGSEAL_CHECK_CRC
        else
            sum = add_words_crc(check, piece, at, sum_end);
#endif
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
    return judge(check, NULL, check->count, REQUIRE(check->require) length);
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
    case IMGSEAL_CHECK_BAD_CRC:
        return "BAD_CRC";
    case IMGSEAL_CHECK_NO_CRC:
        return "NO_CRC";
    }
    return "?";
}
