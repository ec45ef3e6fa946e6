/* The two sealed images that boot_cycles.c checks, word-aligned in flash. */
    .section .rodata.images, "a"
    .global small_image, small_image_end, large_image, large_image_end
    .balign 4
small_image:
    .incbin "small.img"
small_image_end:
    .balign 4
large_image:
    .incbin "large.img"
large_image_end:
