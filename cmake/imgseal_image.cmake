# Makes one sealed image at build time, for a target of imgseal_add_image():
#   cmake -DELF=... -DBINARY=... -DIMAGE=... -DSETTINGS=... -DOBJCOPY=...
#         -DPACK=... -DSEAL=... -P imgseal_image.cmake
# The image is made only when it is missing or older than the ELF file, its
# settings, the two programs or this script; otherwise nothing is touched,
# so that what depends on it is not made again.
cmake_minimum_required(VERSION 3.17)
foreach(input ELF BINARY IMAGE SETTINGS OBJCOPY PACK SEAL)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "imgseal_image.cmake: -D${input}= is missing")
  endif()
endforeach()

set(stale FALSE)
foreach(input "${ELF}" "${SETTINGS}" "${PACK}" "${SEAL}" "${CMAKE_CURRENT_LIST_FILE}")
  # True also when the times are equal, or the image is missing.
  if("${input}" IS_NEWER_THAN "${IMAGE}")
    set(stale TRUE)
  endif()
endforeach()
if(NOT stale)
  return()
endif()

include("${SETTINGS}")
# No earlier image is left to pass for this one if a step fails, and the
# image appears under its name only once sealed.
file(REMOVE "${IMAGE}" "${IMAGE}.part")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  string(REPLACE "${IMAGE}.part" "${IMAGE}" output "${output}")
  if(NOT status EQUAL 0)
    file(REMOVE "${IMAGE}.part")
    message(FATAL_ERROR "${IMAGE}: ${what} failed (${status}):\n${output}")
  endif()
  set(lines "${lines}${output}" PARENT_SCOPE)
endfunction()

set(lines "")
run("objcopy" "${OBJCOPY}" -O binary "${ELF}" "${BINARY}")
run("imgseal-pack" "${PACK}" "--name=${NAME}" ${OPTIONS} "${BINARY}" "${IMAGE}.part")
run("imgseal" "${SEAL}" "${IMAGE}.part")
file(RENAME "${IMAGE}.part" "${IMAGE}")
string(STRIP "${lines}" lines)
message("${lines}")
