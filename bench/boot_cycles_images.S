/* The sealed images that boot_cycles.c checks, word-aligned in flash: two
   without a CRC, two that carry one. */
    .section .rodata.images, "a"
    .global small_image, large_image, small_crc_image, large_crc_image
    .balign 4
small_image:
    .incbin "small.img"
    .balign 4
large_image:
    .incbin "large.img"
    .balign 4
small_crc_image:
    .incbin "small-crc.img"
    .balign 4
large_crc_image:
    .incbin "large-crc.img"
