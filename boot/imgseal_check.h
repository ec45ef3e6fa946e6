/* Checks an image's seal where the image is used: in boot code, with no
   operating system and no C library. Copy this file and imgseal_check.c in. */
#ifndef IMGSEAL_CHECK_H
#define IMGSEAL_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The first check that fails decides the result; they run in this order. */
enum imgseal_check_result {
    IMGSEAL_CHECK_OK = 0,
    IMGSEAL_CHECK_BAD_LAYOUT = 1,    /* under 8 bytes, or no descriptor within them */
    IMGSEAL_CHECK_BAD_SIGNATURE = 2, /* the signature byte is neither 0x55 nor 0xAA */
    IMGSEAL_CHECK_NOT_SEALED = 3,    /* checksum and length fields are both zero */
    IMGSEAL_CHECK_BAD_LENGTH = 4,    /* odd, short of the name field's end, or not
                                        the bytes there are */
    IMGSEAL_CHECK_BAD_CHECKSUM = 5   /* the bytes no longer give the sealed checksum */
};

/* An image in memory (memory-mapped flash, a RAM buffer). At most `available`
   bytes from `image` may be read: the slot's size. The length comes from the
   seal, and only bytes [0, length) are read and summed. On IMGSEAL_CHECK_OK the
   length is stored in *length, unless length is NULL. */
enum imgseal_check_result imgseal_check_memory(const void *image, uint32_t available,
                                               uint32_t *length);

/* An image that arrives in pieces, in order. The whole stream is the image, so
   its size must equal the length field. Pieces may have any size, including 0
   (with data NULL if need be) and odd sizes. The struct's fields belong to the
   routine; its size is fixed. */
struct imgseal_check {
    uint32_t count;    /* bytes fed, held at 0xFFFFFFFF once there are more */
    uint32_t sum;      /* their 16-bit big-endian words' sum, modulo 2^32 */
    uint8_t seen[12];  /* header bytes 4-7, then descriptor bytes 8-15 */
};
void imgseal_check_begin(struct imgseal_check *check);
void imgseal_check_feed(struct imgseal_check *check, const void *data, size_t size);
enum imgseal_check_result imgseal_check_end(const struct imgseal_check *check,
                                            uint32_t *length);

#ifdef __cplusplus
}
#endif

#endif
