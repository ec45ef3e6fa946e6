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
   then BAD_SIGNATURE, NOT_SEALED, BAD_LENGTH and BAD_CHECKSUM. ERASED came
   last, so that the others kept their numbers. */
enum imgseal_check_result {
    IMGSEAL_CHECK_OK = 0,
    IMGSEAL_CHECK_BAD_LAYOUT = 1,    /* under 8 bytes, or no descriptor within them */
    IMGSEAL_CHECK_BAD_SIGNATURE = 2, /* the signature byte is neither 0x55 nor 0xAA */
    IMGSEAL_CHECK_NOT_SEALED = 3,    /* checksum and length fields are both zero */
    IMGSEAL_CHECK_BAD_LENGTH = 4,    /* odd, short of the name field's end, or not
                                        the bytes there are */
    IMGSEAL_CHECK_BAD_CHECKSUM = 5,  /* the bytes no longer give the sealed checksum */
    IMGSEAL_CHECK_ERASED = 6         /* the header's 8 bytes are all 0xFF: erased
                                        flash, no image */
};

/* An image in memory (memory-mapped flash, a RAM buffer). At most `available`
   bytes from `image` may be read: the slot's size. The length comes from the
   seal, and only bytes [0, length) are read and summed. On IMGSEAL_CHECK_OK the
   length is stored in *length, unless length is NULL. */
enum imgseal_check_result imgseal_check_memory(const void *image, uint32_t available,
                                               uint32_t *length);

/* An image that arrives in pieces, in order. Pieces may have any size,
   including 0 (with data NULL if need be) and odd sizes. The struct's fields
   belong to the routine; its size is fixed. */
struct imgseal_check {
    uint32_t count;   /* bytes taken: those fed, up to `limit` */
    uint32_t limit;   /* the slot's size; 0xFFFFFFFF for a stream, where the
                         count is held once more bytes come */
    uint32_t sum;     /* the 16-bit big-endian words of the bytes taken, modulo
                         2^32, up to the length once the descriptor has come */
    uint8_t kept[16]; /* header bytes 0-7, then descriptor bytes 8-15 */
    uint8_t slot;     /* 1 after imgseal_check_begin_slot, 0 after _begin */
};

/* A stream that is the image: its size must equal the length field. */
void imgseal_check_begin(struct imgseal_check *check);

/* A slot read in pieces, from its start: the image is at the start of the
   slot and whatever follows it (erased flash) is ignored. At most slot_size
   bytes are taken into account; bytes fed past the slot's end are ignored. */
void imgseal_check_begin_slot(struct imgseal_check *check, uint32_t slot_size);

void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size);

/* How many more bytes the check needs before imgseal_check_end() gives the
   verdict that the whole slot (or stream) would get: 0 once nothing that can
   still arrive changes it. */
uint32_t imgseal_check_needed(const struct imgseal_check *check);

/* For a slot: the verdict of imgseal_check_memory() on the first
   min(count, slot_size) bytes fed, taken as a slot of that size. */
enum imgseal_check_result imgseal_check_end(const struct imgseal_check *check,
                                            uint32_t *length);

/* The result's name as in the enum without its prefix ("OK", "BAD_LAYOUT", ...),
   for logs; "?" for a value outside the enum. */
const char *imgseal_check_result_name(enum imgseal_check_result result);

#ifdef __cplusplus
}
#endif

#endif
