/* The proof that the stream and slot forms' calls chain: a driver that feeds
   any pieces of a byte array and ends, proven from the calls' contracts, so
   that the verdict after any pieces is the one that the definitions in
   imgseal_check.h give for the bytes fed. For Frama-C only
   (tools/prove_boot.sh, imgseal_check(3) PROOF); nothing here is built. */
#ifndef __FRAMAC__
#error "imgseal_check_chain.c is a proof, for Frama-C only"
#endif

#include "imgseal_check.h"

/* Proven in imgseal_check.c: the image's words with the stamp as zero are
   its words less the stamp's. */
/*@ ghost void stamp_taken_out(const uint8_t *image, uint32_t offset, uint32_t m); */

/*@ // The first k pieces' sizes, added up.
  logic integer total(size_t *sizes, integer k) = k <= 0 ? 0 : total(sizes, k - 1) + sizes[k - 1];

  // The definitions' verdict on the first `given` bytes at `bytes`: CHECKS 1
  // to 6, the sum aside, as for imgseal_check_memory() when `stream` is
  // false.
  logic integer bytes_verdict(uint8_t *bytes, integer given, boolean stream) =
    verdict(bytes, bytes + descriptor_offset(bytes) + 8, given, stream);

  // The state after the bytes at `bytes` were fed in pieces, `fed` of them
  // in all, by its parts: the count, held at the limit; the header's bytes
  // taken; the descriptor's bytes taken, where the header kept says they
  // are; and the sum of the bytes up to where the state stops summing. The
  // parts are written from the state rather than the bytes where they can
  // be, so that a step need not read the same field of the bytes twice.
  predicate fed_count(struct imgseal_check *c, integer fed) =
    c->count == (fed < c->limit ? fed : c->limit);
  predicate fed_header(struct imgseal_check *c, uint8_t *bytes) =
    \forall integer i; 0 <= i < 8 && i < c->count ==> c->kept[i] == bytes[i];
  predicate descriptor_at(struct imgseal_check *c, uint8_t *bytes, integer offset, integer from,
                          integer bound) =
    \forall integer i; 8 <= i < 16 && offset < 0x80000000 && from <= offset + i < bound ==>
      c->kept[i] == bytes[offset + i];
  predicate fed_descriptor(struct imgseal_check *c, uint8_t *bytes) =
    descriptor_at(c, bytes, descriptor_offset(&c->kept[0]), 0, c->count);
  // A length that ends inside the descriptor leaves the sum to how the
  // pieces fell; check 6 refuses such a length before the sum counts.
  predicate sum_known(struct imgseal_check *c) =
    \let offset = descriptor_offset(&c->kept[0]);
    offset >= 0x80000000 || c->count < offset + 16 || length_field(&c->kept[8]) >= offset + 16;
  predicate fed_sum(struct imgseal_check *c, uint8_t *bytes) =
    sum_known(c) ==> c->sum == (uint32_t)bytes_sum(bytes, sum_end(c));
  predicate fed(struct imgseal_check *c, uint8_t *bytes) =
    fed_header(c, bytes) && fed_descriptor(c, bytes) && fed_sum(c, bytes);
*/

/*@ ghost
  // The sizes add up to no less as more pieces come.
  /@ requires \valid_read(sizes + (0 .. n - 1));
     assigns \nothing;
     ensures \forall integer k; 0 <= k <= n ==> 0 <= total(sizes, k) <= total(sizes, n);
  @/
  void total_grows(const size_t *sizes, size_t n)
  {
      size_t j;

      /@ loop invariant 0 <= j <= n;
         loop invariant \forall integer k; 0 <= k <= j ==> 0 <= total(sizes, k) <= total(sizes, j);
         loop assigns j;
         loop variant n - j;
      @/
      for (j = 0u; j < n; ++j) {
          /@ assert total(sizes, j + 1) == total(sizes, j) + sizes[j]; @/
          /@ assert (size_t)(j + 1) == j + 1; @/
      }
  }

  // One byte more: the byte at position n is the high-order byte of a word
  // at an even position, the low-order one at an odd position.
  /@ assigns \nothing;
     ensures bytes_sum((uint8_t *)p, n + 1) == bytes_sum((uint8_t *)p, n) + word_part(n, p[n]);
  @/
  void byte_more(const uint8_t *p, size_t n)
  {
      /@ assert n % 2 == 0 ==> (n + 1) / 2 == n / 2 && (n + 1) % 2 != 0; @/
      /@ assert n % 2 != 0 ==> (n + 1) / 2 == n / 2 + 1 && (n + 1) % 2 == 0 && 2 * (n / 2 + 1) - 2 == n - 1; @/
      /@ assert n % 2 != 0 ==>
           words((uint8_t *)p, n / 2 + 1) == words((uint8_t *)p, n / 2) + p[n - 1] * 0x100 + p[n]; @/
  }

  // One byte more of a piece that starts at position `at`.
  /@ requires \valid_read(q + (0 .. t));
     assigns \nothing;
     ensures piece_sum((uint8_t *)q, at, t + 1) == piece_sum((uint8_t *)q, at, t) + word_part(at + t, q[t]);
  @/
  void piece_byte_more(const uint8_t *q, size_t at, size_t t)
  {
      if (at % 2u == 0u) {
          byte_more(q, t);
          /@ assert (at + t) % 2 == t % 2; @/
      } else if (t == 0u) {
          /@ assert piece_sum((uint8_t *)q, at, 1) == q[0] + bytes_sum((uint8_t *)q + 1, 0); @/
          /@ assert bytes_sum((uint8_t *)q + 1, 0) == 0 && piece_sum((uint8_t *)q, at, 0) == 0; @/
      } else {
          /@ assert (size_t)(t - 1) == t - 1; @/
          byte_more(q + 1, t - 1u);
          /@ assert (at + t) % 2 == (t - 1) % 2; @/
          /@ assert ((uint8_t *)q + 1)[t - 1] == q[t]; @/
      }
  }

  // The sums of consecutive pieces add up: the a bytes at p, then the n
  // after them, summed from position a.
  /@ requires a + n <= SIZE_MAX;
     requires \object_pointer(p) && \valid_read(p + (0 .. a + n - 1));
     assigns \nothing;
     ensures bytes_sum((uint8_t *)p, a) + piece_sum((uint8_t *)p + a, a, n) ==
             bytes_sum((uint8_t *)p, a + n);
  @/
  void pieces_add_up(const uint8_t *p, size_t a, size_t n)
  {
      size_t t;

      /@ assert piece_sum((uint8_t *)p + a, a, 0) == 0; @/
      /@ loop invariant 0 <= t <= n;
         loop invariant bytes_sum((uint8_t *)p, a) + piece_sum((uint8_t *)p + a, a, t) ==
                        bytes_sum((uint8_t *)p, a + t);
         loop assigns t;
         loop variant n - t;
      @/
      for (t = 0u; t < n; ++t) {
          piece_byte_more(p + a, a, t);
          byte_more(p, a + t);
          /@ assert (size_t)(t + 1) == t + 1 && (size_t)(a + t) == a + t; @/
      }
  }

  // The header's fields as the state kept them are the bytes' own, once
  // the header has come.
  /@ requires \valid_read(c);
     requires fed_header(c, (uint8_t *)bytes);
     assigns \nothing;
     ensures c->count >= 8 ==>
       erased(&c->kept[0]) == erased((uint8_t *)bytes) &&
       descriptor_offset(&c->kept[0]) == descriptor_offset((uint8_t *)bytes);
  @/
  void header_kept(const struct imgseal_check *c, const uint8_t *bytes)
  {
      /@ assert c->count >= 8 ==>
           c->kept[0] == bytes[0] && c->kept[1] == bytes[1] && c->kept[2] == bytes[2] &&
           c->kept[3] == bytes[3] && c->kept[4] == bytes[4] && c->kept[5] == bytes[5] &&
           c->kept[6] == bytes[6] && c->kept[7] == bytes[7]; @/
  }

  // So are the descriptor's, once it has come.
  /@ requires \valid_read(c);
     requires fed_header(c, (uint8_t *)bytes) && fed_descriptor(c, (uint8_t *)bytes);
     assigns \nothing;
     ensures \let offset = descriptor_offset((uint8_t *)bytes);
       offset < 0x80000000 && offset + 16 <= c->count ==> c->kept[8] == bytes[offset + 8];
     ensures \let offset = descriptor_offset((uint8_t *)bytes);
       offset < 0x80000000 && offset + 16 <= c->count ==>
         checksum_field(&c->kept[8]) == checksum_field((uint8_t *)bytes + offset + 8);
     ensures \let offset = descriptor_offset((uint8_t *)bytes);
       offset < 0x80000000 && offset + 16 <= c->count ==>
         length_field(&c->kept[8]) == length_field((uint8_t *)bytes + offset + 8);
     ensures \let offset = descriptor_offset((uint8_t *)bytes);
       offset < 0x80000000 && offset + 16 <= c->count ==>
         stamp_words(&c->kept[8], offset) == stamp_words((uint8_t *)bytes + offset + 8, offset);
  @/
  void descriptor_kept(const struct imgseal_check *c, const uint8_t *bytes)
  {
      header_kept(c, bytes);
      /@ assert \let offset = descriptor_offset((uint8_t *)bytes);
           offset < 0x80000000 && offset + 16 <= c->count ==>
             descriptor_offset(&c->kept[0]) == offset &&
             c->kept[8] == bytes[offset + 8] && c->kept[10] == bytes[offset + 10] &&
             c->kept[11] == bytes[offset + 11] && c->kept[12] == bytes[offset + 12] &&
             c->kept[13] == bytes[offset + 13] && c->kept[14] == bytes[offset + 14] &&
             c->kept[15] == bytes[offset + 15]; @/
  }

  // The descriptor's offset and the length, from the bytes kept, read as
  // load_be32() reads them.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]);
     requires at == 4 || at == 12;
     assigns \nothing;
     ensures at == 4 ==> \result == descriptor_offset(&c->kept[0]);
     ensures at == 12 ==> \result == length_field(&c->kept[8]);
     ensures \result == c->kept[at] * 0x1000000 + c->kept[at + 1] * 0x10000 +
                        c->kept[at + 2] * 0x100 + c->kept[at + 3];
  @/
  uint32_t kept_be32(const struct imgseal_check *c, uint32_t at)
  {
      /@ assert be32(&c->kept[4]) == descriptor_offset(&c->kept[0]); @/
      /@ assert be32(&c->kept[12]) == length_field(&c->kept[8]); @/
      return (((uint32_t)c->kept[at] * 256u + c->kept[at + 1u]) * 256u + c->kept[at + 2u]) * 256u +
             c->kept[at + 3u];
  }

  // Where the state stops summing, and whether that is known, worked out
  // from the bytes it kept.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     assigns \nothing;
     ensures \result == sum_end(c);
  @/
  uint32_t sum_stop(const struct imgseal_check *c)
  {
      const uint32_t offset = kept_be32(c, 4u), length = kept_be32(c, 12u);

      if (offset < 0x80000000u && offset + 16u <= c->count && length < c->count)
          return length;
      return c->count;
  }
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     assigns \nothing;
     ensures \result != 0 <==> sum_known(c);
  @/
  int kept_known(const struct imgseal_check *c)
  {
      const uint32_t offset = kept_be32(c, 4u), length = kept_be32(c, 12u);

      return offset >= 0x80000000u || c->count < offset + 16u || length >= offset + 16u;
  }

  // The sum, where it is known.
  /@ requires \valid_read(c);
     requires fed_sum(c, (uint8_t *)bytes) && sum_known(c);
     assigns \nothing;
     ensures c->sum == (uint32_t)bytes_sum((uint8_t *)bytes, sum_end(c));
  @/
  void sum_known_is(const struct imgseal_check *c, const uint8_t *bytes)
  {
  }

  // Taking the stamp's words out commutes with the sum's wrapping.
  /@ requires \valid_read(c);
     requires c->sum == (uint32_t)words((uint8_t *)bytes, m);
     requires image_words((uint8_t *)bytes, offset, m) ==
              words((uint8_t *)bytes, m) - stamp_words(&c->kept[8], offset);
     assigns \nothing;
     ensures (uint32_t)(c->sum - stamp_words(&c->kept[8], offset)) ==
             (uint32_t)image_words((uint8_t *)bytes, offset, m);
  @/
  void stamp_modulo(const struct imgseal_check *c, const uint8_t *bytes, uint32_t offset,
                    uint32_t m)
  {
  }

  // The state's checksum, with the offset and length that it kept.
  /@ requires \valid_read(c);
     requires descriptor_offset(&c->kept[0]) == offset && length_field(&c->kept[8]) == length;
     assigns \nothing;
     ensures state_checksum(c) == checksum(c->sum - stamp_words(&c->kept[8], offset), length);
  @/
  void state_checksum_is(const struct imgseal_check *c, uint32_t offset, uint32_t length)
  {
  }

  // So the checksum is the definitions' on the bytes.
  /@ requires \valid_read(c);
     requires descriptor_offset((uint8_t *)bytes) == offset;
     requires length_field((uint8_t *)bytes + offset + 8) == length && m == length / 2;
     requires (uint32_t)(c->sum - stamp_words(&c->kept[8], offset)) ==
              (uint32_t)image_words((uint8_t *)bytes, offset, m);
     assigns \nothing;
     ensures checksum(c->sum - stamp_words(&c->kept[8], offset), length) ==
             memory_checksum((uint8_t *)bytes);
  @/
  void checksum_modulo(const struct imgseal_check *c, const uint8_t *bytes, uint32_t offset,
                       uint32_t m, uint32_t length)
  {
      /@ assert memory_checksum((uint8_t *)bytes) ==
                checksum(image_words((uint8_t *)bytes, offset, m), length); @/
      /@ assert (uint32_t)((uint32_t)(c->sum - stamp_words(&c->kept[8], offset)) +
                           length % 0x10000 + length / 0x10000) ==
                (uint32_t)((uint32_t)image_words((uint8_t *)bytes, offset, m) +
                           length % 0x10000 + length / 0x10000); @/
  }

  // The sum's step, in the state after a piece, at bytes + before, was fed
  // to a state that had taken `before` bytes, summed them up to stop_before
  // into old_sum (if known_before), and kept old_offset and old_length.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     requires before <= c->count && c->count <= SIZE_MAX;
     requires \object_pointer(bytes) && \valid_read(bytes + (0 .. c->count - 1));
     requires before >= 8 ==> descriptor_offset(&c->kept[0]) == old_offset;
     requires old_offset < 0x80000000 && old_offset + 16 <= before ==>
       length_field(&c->kept[8]) == old_length;
     requires before < 8 ==> stop_before == before && known_before != 0;
     requires before >= 8 ==>
       stop_before == (old_offset < 0x80000000 && old_offset + 16 <= before && old_length < before ?
                         old_length : before) &&
       (known_before != 0 <==>
        old_offset >= 0x80000000 || before < old_offset + 16 || old_length >= old_offset + 16);
     requires known_before != 0 ==> old_sum == (uint32_t)bytes_sum((uint8_t *)bytes, stop_before);
     requires c->sum ==
       (uint32_t)(old_sum + (sum_end(c) > before ?
                               piece_sum((uint8_t *)bytes + before, before, sum_end(c) - before) : 0));
     assigns \nothing;
     ensures fed_sum(c, (uint8_t *)bytes);
  @/
  void sum_step(const struct imgseal_check *c, const uint8_t *bytes, uint32_t before,
                uint32_t stop_before, uint32_t old_sum, int known_before, uint32_t old_offset,
                uint32_t old_length)
  {
      const uint32_t stop = sum_stop(c);
      const int known = kept_known(c);

      /@ assert known != 0 ==> known_before != 0; @/
      if (stop > before) {
          pieces_add_up(bytes, before, stop - before);
          /@ assert known != 0 ==> stop_before == before; @/
      } else {
          /@ assert known != 0 ==> stop_before == stop; @/
      }
  }

  // The descriptor's bytes kept before a piece and those it brought.
  /@ requires \valid_read(c);
     requires descriptor_at(c, (uint8_t *)bytes, descriptor_offset(&c->kept[0]), 0, before);
     requires descriptor_at(c, (uint8_t *)bytes, descriptor_offset(&c->kept[0]), before, c->count);
     assigns \nothing;
     ensures fed_descriptor(c, (uint8_t *)bytes);
  @/
  void descriptor_join(const struct imgseal_check *c, const uint8_t *bytes, uint32_t before)
  {
  }

  // The state's verdict is the definitions' on the bytes fed.
  /@ requires \valid_read(c);
     requires fed_header(c, (uint8_t *)bytes) && fed_descriptor(c, (uint8_t *)bytes);
     assigns \nothing;
     ensures state_verdict(c) == bytes_verdict((uint8_t *)bytes, c->count, c->slot == 0);
  @/
  void fed_verdict(const struct imgseal_check *c, const uint8_t *bytes)
  {
      header_kept(c, bytes);
      descriptor_kept(c, bytes);
  }

  // On a verdict of OK, the state's checksum and length fields are the
  // bytes' own, and its checksum is the definitions' on them.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     requires fed(c, (uint8_t *)bytes);
     assigns \nothing;
     ensures bytes_verdict((uint8_t *)bytes, c->count, c->slot == 0) == IMGSEAL_CHECK_OK ==>
       \let offset = descriptor_offset((uint8_t *)bytes);
       checksum_field(&c->kept[8]) == checksum_field((uint8_t *)bytes + offset + 8) &&
       length_field(&c->kept[8]) == length_field((uint8_t *)bytes + offset + 8) &&
       state_checksum(c) == memory_checksum((uint8_t *)bytes);
  @/
  void fed_checksum(const struct imgseal_check *c, const uint8_t *bytes)
  {
      const uint32_t offset = kept_be32(c, 4u), length = kept_be32(c, 12u);

      header_kept(c, bytes);
      descriptor_kept(c, bytes);
      if (c->count >= 8u && offset < 0x80000000u && offset + 2016u <= length &&
          length <= c->count && length % 2u == 0u) {
          /@ assert offset == descriptor_offset((uint8_t *)bytes); @/
          /@ assert length == length_field((uint8_t *)bytes + offset + 8); @/
          /@ assert stamp_words(&c->kept[8], offset) ==
                    stamp_words((uint8_t *)bytes + offset + 8, offset); @/
          const int known = kept_known(c);
          const uint32_t stop = sum_stop(c);
          /@ assert known != 0 && stop == length; @/
          sum_known_is(c, bytes);
          /@ assert c->sum == (uint32_t)bytes_sum((uint8_t *)bytes, length); @/
          /@ assert (uint32_t)(length / 2) == length / 2 && length == 2 * (length / 2); @/
          /@ assert bytes_sum((uint8_t *)bytes, length) == words((uint8_t *)bytes, length / 2); @/
          /@ assert c->sum == (uint32_t)words((uint8_t *)bytes, length / 2); @/
          stamp_taken_out(bytes, offset, length / 2u);
          stamp_modulo(c, bytes, offset, length / 2u);
          checksum_modulo(c, bytes, offset, length / 2u, length);
          state_checksum_is(c, offset, length);
      }
  }

  // Nothing fed: nothing kept, nothing summed.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     requires c->count == 0 && c->sum == 0;
     requires \forall integer i; 0 <= i < 16 ==> c->kept[i] == 0;
     assigns \nothing;
     ensures fed(c, (uint8_t *)bytes);
  @/
  void fed_empty(const struct imgseal_check *c, const uint8_t *bytes)
  {
      const uint32_t offset = kept_be32(c, 4u), stop = sum_stop(c);

      /@ assert c->kept[4] == 0 && c->kept[5] == 0 && c->kept[6] == 0 && c->kept[7] == 0; @/
      /@ assert offset == 0 && stop == 0; @/
      /@ assert bytes_sum((uint8_t *)bytes, 0) == 0; @/
  }

  // What imgseal_check_end() judges, the state, is the bytes fed: `fed` of
  // them, to a stream (slot == 0) or a slot of slot_size bytes.
  /@ requires \valid_read(c) && \initialized(&c->kept[0 .. 15]) && \initialized(&c->count);
     requires fed(c, (uint8_t *)bytes);
     requires c->limit == (slot != 0 ? slot_size : 0xFFFFFFFF) && c->slot == (slot != 0 ? 1 : 0);
     requires fed_count(c, fed);
     assigns \nothing;
     ensures \let limit = slot != 0 ? slot_size : 0xFFFFFFFF;
       \let given = fed < limit ? fed : limit;
       state_verdict(c) == bytes_verdict((uint8_t *)bytes, given, slot == 0);
     ensures \let limit = slot != 0 ? slot_size : 0xFFFFFFFF;
       \let given = fed < limit ? fed : limit;
       \let offset = descriptor_offset((uint8_t *)bytes);
       bytes_verdict((uint8_t *)bytes, given, slot == 0) == IMGSEAL_CHECK_OK ==>
         checksum_field(&c->kept[8]) == checksum_field((uint8_t *)bytes + offset + 8) &&
         state_checksum(c) == memory_checksum((uint8_t *)bytes) &&
         length_field(&c->kept[8]) == length_field((uint8_t *)bytes + offset + 8);
  @/
  void chain_result(const struct imgseal_check *c, const uint8_t *bytes, int slot,
                    uint32_t slot_size, size_t fed)
  {
      fed_verdict(c, bytes);
      fed_checksum(c, bytes);
      /@ assert (c->slot == 0) <==> (slot == 0); @/
      /@ assert c->count == (fed < c->limit ? fed : c->limit); @/
  }

  // Once needed() is 0, a slot's verdict on the bytes fed is its verdict on
  // the whole slot, whatever the slot holds past them.
  /@ requires \valid_read(c);
     requires fed_header(c, (uint8_t *)bytes) && fed_descriptor(c, (uint8_t *)bytes);
     requires c->count <= c->limit;
     assigns \nothing;
     ensures c->slot == 1 && (deciding_end(c) < c->limit ? deciding_end(c) : c->limit) <= c->count ==>
       bytes_verdict((uint8_t *)bytes, c->count, \false) ==
       bytes_verdict((uint8_t *)bytes, c->limit, \false);
  @/
  void slot_final(const struct imgseal_check *c, const uint8_t *bytes)
  {
      header_kept(c, bytes);
      descriptor_kept(c, bytes);
      /@ assert c->count < 8 && (deciding_end(c) < c->limit ? deciding_end(c) : c->limit) <= c->count ==>
           c->count == c->limit; @/
  }
*/

/* The chaining's step: feeds the piece of `size` bytes at bytes + at, the
   `at` bytes before it fed already. Its proof takes two paths, so that each
   knows where the piece starts: at the count, or past a slot's end, where
   nothing more is taken. */
/*@ requires \valid(check) && ready(check) && within(check);
    requires at + size <= SIZE_MAX;
    requires \object_pointer(bytes);
    requires \valid_read(bytes + (0 .. at + size - 1));
    requires \initialized(bytes + (0 .. at + size - 1));
    requires \separated(check, bytes + (0 .. at + size - 1));
    requires \base_addr(check) != \base_addr(bytes);
    requires fed_count(check, at) && fed(check, (uint8_t *)bytes);
    assigns *check;
    ensures ready(check) && within(check);
    ensures check->limit == \old(check->limit) && check->slot == \old(check->slot);
    ensures count: fed_count(check, at + size);
    ensures header: fed_header(check, (uint8_t *)bytes);
    ensures descriptor: fed_descriptor(check, (uint8_t *)bytes);
    ensures sum: fed_sum(check, (uint8_t *)bytes);
*/
static void feed_piece(struct imgseal_check *check, const uint8_t *bytes, size_t at, size_t size)
{
    /*@ ghost
        const uint32_t before = check->count, old_sum = check->sum;
        const uint32_t stop_before = sum_stop(check);
        const int known_before = kept_known(check);
        const uint32_t old_offset = kept_be32(check, 4u), old_length = kept_be32(check, 12u);
    */
    /*@ assert known_before != 0 ==> old_sum == (uint32_t)bytes_sum((uint8_t *)bytes, stop_before); */
    /*@ assert before < 8 ==> stop_before == before && known_before != 0; */
    /*@ assert old_offset == descriptor_offset(&check->kept[0]) && before == check->count; */
    /*@ assert descriptor_pre: descriptor_at(check, (uint8_t *)bytes, old_offset, 0, before); */
    imgseal_check_feed(check, bytes + at, size);
    /*@ assert bytes_same: \forall integer i; 0 <= i < at + size ==> bytes[i] == \at(bytes[i], Pre); */
    /*@ assert fed_count(check, at + size); */
    /*@ ghost
        if (before == at) {
            /@ assert header: fed_header(check, (uint8_t *)bytes); @/
            /@ assert header_unchanged: \forall integer i; 0 <= i < 8 && i < before ==>
                 check->kept[i] == \at(check->kept[i], Pre); @/
            /@ assert descriptor_new: descriptor_at(check, (uint8_t *)bytes,
                 descriptor_offset(&check->kept[0]), before, check->count); @/
            if (before >= 8u) {
                const uint32_t offset = kept_be32(check, 4u);
                /@ assert offset == old_offset; @/
                /@ assert descriptor_unchanged: \forall integer i; 8 <= i < 16 &&
                     old_offset < 0x80000000 && old_offset + i < before ==>
                     check->kept[i] == \at(check->kept[i], Pre); @/
                /@ assert descriptor_old: descriptor_at(check, (uint8_t *)bytes, old_offset, 0, before); @/
                /@ assert descriptor_old_here: descriptor_at(check, (uint8_t *)bytes,
                     descriptor_offset(&check->kept[0]), 0, before); @/
            }
            /@ assert descriptor_old_all: descriptor_at(check, (uint8_t *)bytes,
                 descriptor_offset(&check->kept[0]), 0, before); @/
            descriptor_join(check, bytes, before);
        } else {
            // Past a slot's end: nothing more is taken.
            /@ assert check->count == before && sum_end(check) <= before; @/
            /@ assert header_held: fed_header(check, (uint8_t *)bytes); @/
            /@ assert unchanged_held: \forall integer i; 0 <= i < 16 ==>
                 check->kept[i] == \at(check->kept[i], Pre); @/
            const uint32_t offset_held = kept_be32(check, 4u);
            /@ assert offset_held == old_offset; @/
            /@ assert descriptor_old_held: descriptor_at(check, (uint8_t *)bytes, old_offset, 0, before); @/
            /@ assert descriptor_held: descriptor_at(check, (uint8_t *)bytes,
                 descriptor_offset(&check->kept[0]), 0, before); @/
            descriptor_join(check, bytes, before);
        }
    */
    /*@ assert descriptor: fed_descriptor(check, (uint8_t *)bytes); */
    /*@ ghost const uint32_t offset = kept_be32(check, 4u); */
    /*@ assert offset_kept: before >= 8 ==> offset == old_offset; */
    /*@ ghost const uint32_t length = kept_be32(check, 12u); */
    /*@ assert length_kept: old_offset < 0x80000000 && old_offset + 16 <= before ==>
          length == old_length; */
    /*@ ghost
        // The bytes summed before are as they were: feed() wrote only *check.
        size_t m;
        /@ loop invariant 0 <= m <= stop_before / 2;
           loop invariant \forall integer k; 0 <= k <= m ==>
             words((uint8_t *)bytes, k) == \at(words((uint8_t *)bytes, k), Pre);
           loop assigns m;
           loop variant stop_before / 2 - m;
        @/
        for (m = 0u; m < stop_before / 2u; ++m) {
            /@ assert (size_t)(m + 1) == m + 1; @/
        }
    */
    /*@ assert \let k = stop_before;
          bytes_sum((uint8_t *)bytes, k) == \at(bytes_sum((uint8_t *)bytes, k), Pre); */
    /*@ ghost
        sum_step(check, bytes, before, stop_before, old_sum, known_before, old_offset, old_length);
    */
}

/* Feeds the pieces that `sizes` gives, in order, to a stream (slot == 0) or
   to a slot of slot_size bytes, and ends; then stores in *still_needed what
   imgseal_check_needed() says. The verdict is the definitions' on the bytes
   fed, as many as the limit takes; for a slot, once nothing more is needed,
   it is the verdict on the whole slot. */
/*@ requires \valid_read(sizes + (0 .. pieces - 1));
    requires \initialized(sizes + (0 .. pieces - 1));
    requires total(sizes, pieces) <= SIZE_MAX;
    requires \object_pointer(bytes);
    requires \valid_read(bytes + (0 .. total(sizes, pieces) - 1));
    requires \initialized(bytes + (0 .. total(sizes, pieces) - 1));
    requires length == \null || \valid(length);
    requires \valid(still_needed);
    requires \separated(length, still_needed);
    requires \separated(length, bytes + (0 .. total(sizes, pieces) - 1));
    requires \separated(still_needed, bytes + (0 .. total(sizes, pieces) - 1));
    assigns *length, *still_needed;
    ensures chain_verdict:
      \let limit = slot != 0 ? slot_size : 0xFFFFFFFF;
      \let given = \old(total(sizes, pieces)) < limit ? \old(total(sizes, pieces)) : limit;
      bytes_verdict(bytes, given, slot == 0) != IMGSEAL_CHECK_OK ==>
        \result == bytes_verdict(bytes, given, slot == 0);
    ensures chain_sum:
      \let limit = slot != 0 ? slot_size : 0xFFFFFFFF;
      \let given = \old(total(sizes, pieces)) < limit ? \old(total(sizes, pieces)) : limit;
      bytes_verdict(bytes, given, slot == 0) == IMGSEAL_CHECK_OK ==>
        (\result == IMGSEAL_CHECK_OK || \result == IMGSEAL_CHECK_BAD_CHECKSUM) &&
        (\result == IMGSEAL_CHECK_OK <==>
         checksum_field(bytes + descriptor_offset(bytes) + 8) == memory_checksum(bytes));
    ensures chain_length: \result == IMGSEAL_CHECK_OK && length != \null ==>
      *length == length_field(bytes + descriptor_offset(bytes) + 8);
    ensures slot_final:
      \let given = \old(total(sizes, pieces)) < slot_size ? \old(total(sizes, pieces)) : slot_size;
      slot != 0 && *still_needed == 0 ==>
        bytes_verdict(bytes, given, \false) == bytes_verdict(bytes, slot_size, \false);
*/
enum imgseal_check_result imgseal_check_pieces(const uint8_t *bytes, const size_t *sizes,
                                               size_t pieces, int slot, uint32_t slot_size,
                                               uint32_t *length, uint32_t *still_needed)
{
    struct imgseal_check check;
    size_t at = 0u, i;
    enum imgseal_check_result result = IMGSEAL_CHECK_OK; /* see judge() */

    /*@ ghost total_grows(sizes, pieces); */
    if (slot)
        imgseal_check_begin_slot(&check, slot_size);
    else
        imgseal_check_begin(&check);
    /*@ ghost fed_empty(&check, bytes); */
    /*@ loop invariant 0 <= i <= pieces;
        loop invariant \let k = i; at == \at(total(sizes, k), Pre);
        loop invariant at <= \at(total(sizes, pieces), Pre);
        loop invariant \initialized(sizes + (0 .. pieces - 1));
        loop invariant ready(&check) && within(&check);
        loop invariant check.limit == (slot != 0 ? slot_size : 0xFFFFFFFF);
        loop invariant check.slot == (slot != 0 ? 1 : 0);
        loop invariant count: fed_count(&check, at);
        loop invariant header: fed_header(&check, (uint8_t *)bytes);
        loop invariant descriptor: fed_descriptor(&check, (uint8_t *)bytes);
        loop invariant sum: fed_sum(&check, (uint8_t *)bytes);
        loop assigns i, at, check;
        loop variant pieces - i;
    */
    for (i = 0u; i < pieces; ++i) {
        /*@ assert \let k = i; sizes[k] == \at(sizes[k], Pre) &&
              \at(total(sizes, k + 1), Pre) == at + sizes[k] &&
              \at(total(sizes, k + 1), Pre) <= \at(total(sizes, pieces), Pre); */
        const size_t size = sizes[i];

        feed_piece(&check, bytes, at, size);
        /*@ assert (size_t)(at + size) == at + size && (size_t)(i + 1) == i + 1; */
        at += size;
    }
    /*@ assert at == \at(total(sizes, pieces), Pre); */
    /*@ ghost
        chain_result(&check, bytes, slot, slot_size, at);
        slot_final(&check, bytes);
    */
    result = imgseal_check_end(&check, length);
    *still_needed = imgseal_check_needed(&check);
    return result;
}
