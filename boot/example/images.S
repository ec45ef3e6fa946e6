/* The images the example checks, placed in its flash as a loader finds them;
   make_images.sh makes them with imgseal. */
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
    /* The sealed image again, one byte past a word boundary. */
    .balign 4
    .byte 0
    image odd_image, "sealed.img"
