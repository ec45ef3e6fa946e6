/* The images the example checks, placed in its flash as a loader finds them,
   and a stand-in for an external flash; make_images.sh makes them with
   imgseal. */
    .section .rodata.images, "a"

    .macro image name, file
    .global \name, \name\()_end
\name:
    .incbin "\file"
\name\()_end:
    .endm

    .balign 4
    image sealed_image, "sealed.img"
    .balign 4
    image changed_image, "changed.img"
    .balign 4
    image unsealed_image, "unsealed.img"
    .balign 4
    image packed_image, "packed.img"
    .balign 4
    image tail_erased_image, "tail-erased.img"
    .balign 4
    image page_erased_image, "page-erased.img"
    /* The sealed image again, one byte past a word boundary. */
    .balign 4
    .byte 0
    image odd_image, "sealed.img"

    /* The external flash that main.c reads through spi_flash_read(), in
       4 KiB slots (an SPI flash's erase sector): each holds an image at its
       start, or none, and erased flash, 0xFF, after it. */
    .balign 4
    .global external_flash
external_flash:
    .incbin "sealed.img"        /* 0x0000: a sealed image */
    .org external_flash + 0x1000, 0xFF
                                /* 0x1000: erased */
    .org external_flash + 0x2000, 0xFF
    .incbin "unsealed.img"      /* 0x2000: an image never sealed */
    .org external_flash + 0x3000, 0xFF
    .incbin "long.img"          /* 0x3000: a sealed image of 6000 bytes, which
                                   runs on into the next slot */
    .org external_flash + 0x5000, 0xFF

    /* Then 16 KiB slots (CRC_SLOT_SIZE) for images that carry a CRC, as an
       interrupted update leaves them, and a pair of slots A and B. */
    .incbin "tail-erased.img"   /* 0x5000: its last 2 KiB, all zeros, erased */
    .org external_flash + 0x9000, 0xFF
    .incbin "page-erased.img"   /* 0x9000: one 256-byte page of zeros erased */
    .org external_flash + 0xD000, 0xFF
    .incbin "long.img"          /* 0xD000: slot A, a newer image without a CRC */
    .org external_flash + 0x11000, 0xFF
    .incbin "packed.img"        /* 0x11000: slot B, an older one with a CRC */
    .org external_flash + 0x15000, 0xFF
