/* The two sealed images that boot_cycles.c checks, word-aligned in flash. */
    .section .rodata.images, "a"
    .global small_image, large_image
    .balign 4
small_image:
    .incbin "small.img"
    .balign 4
large_image:
    .incbin "large.img"
