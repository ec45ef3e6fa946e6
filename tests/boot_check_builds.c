/* The boot check built again for the tests, as a caller's build with
   IMGSEAL_CHECK_CRC set to BUILD (256, 16 or 0) makes it, its public names
   prefixed with the build's, and its CRC table open to the tests. */
#include <stdint.h>

#define BUILD_NAME_(build, name) imgseal_check##build##_##name
#define BUILD_NAME(build, name) BUILD_NAME_(build, name)
#define imgseal_check_memory BUILD_NAME(BUILD, memory)
#define imgseal_check_memory_crc BUILD_NAME(BUILD, memory_crc)
#define imgseal_check_begin BUILD_NAME(BUILD, begin)
#define imgseal_check_begin_slot BUILD_NAME(BUILD, begin_slot)
#define imgseal_check_require_crc BUILD_NAME(BUILD, require_crc)
#define imgseal_check_feed BUILD_NAME(BUILD, feed)
#define imgseal_check_needed BUILD_NAME(BUILD, needed)
#define imgseal_check_end BUILD_NAME(BUILD, end)
#define imgseal_check_result_name BUILD_NAME(BUILD, result_name)
#define IMGSEAL_CHECK_CRC BUILD

#include "imgseal_check.c"

#if BUILD != 0
const uint32_t *BUILD_NAME(BUILD, table)(void);
const uint32_t *BUILD_NAME(BUILD, table)(void)
{
    return crc_table;
}
#endif
