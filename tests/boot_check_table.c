/* The default build's CRC table, open to the tests: the routine's own file,
   its public names renamed so that they do not clash with the library's. */
#include <stdint.h>

#define imgseal_check_memory table_check_memory
#define imgseal_check_memory_crc table_check_memory_crc
#define imgseal_check_begin table_check_begin
#define imgseal_check_begin_slot table_check_begin_slot
#define imgseal_check_require_crc table_check_require_crc
#define imgseal_check_feed table_check_feed
#define imgseal_check_needed table_check_needed
#define imgseal_check_end table_check_end
#define imgseal_check_result_name table_check_result_name

#include "imgseal_check.c"

const uint32_t *imgseal_check256_table(void);
const uint32_t *imgseal_check256_table(void)
{
    return crc_table;
}
