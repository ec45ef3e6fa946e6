# Makes one sealed image at build time, for a target of imgseal_add_image():
#   cmake -DELF=... -DBINARY=... -DIMAGE=... -DSETTINGS=... -DPACK=...
#         -DSEAL=... -P imgseal_image.cmake
# SETTINGS sets NAME, OPTIONS (the packer's options) and OBJCOPY. The image
# is made only when it is missing or older than the ELF file, its settings,
# the two programs or this script; otherwise nothing is touched, so that
# what depends on it is not made again.
cmake_minimum_required(VERSION 3.17)
foreach(input ELF BINARY IMAGE SETTINGS PACK SEAL)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "imgseal_image.cmake: -D${input}= is missing")
  endif()
endforeach()

# objcopy would overwrite the ELF file with its binary, or the packer with
# its image (an executable named with the suffix .bin or .img, in the
# directory of its image).
if(ELF STREQUAL BINARY OR ELF STREQUAL IMAGE)
  message(FATAL_ERROR "${ELF}: the ELF file has the name of its image or its binary: "
    "give the executable another SUFFIX or OUTPUT_NAME")
endif()

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
get_filename_component(directory "${IMAGE}" DIRECTORY)
file(MAKE_DIRECTORY "${directory}")

# Ends the run if the step that set status and output failed. Each step runs
# execute_process itself: its arguments passed through a list would lose
# the name's square brackets and semicolons.
function(finish what)
  string(REPLACE "${IMAGE}.part" "${IMAGE}" output "${output}")
  if(NOT status EQUAL 0)
    file(REMOVE "${IMAGE}.part")
    message(FATAL_ERROR "${IMAGE}: ${what} failed (${status}):\n${output}")
  endif()
  set(lines "${lines}${output}" PARENT_SCOPE)
endfunction()

set(lines "")
execute_process(COMMAND "${OBJCOPY}" -O binary "${ELF}" "${BINARY}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
finish("objcopy")
execute_process(COMMAND "${PACK}" "--name=${NAME}" ${OPTIONS} "${BINARY}" "${IMAGE}.part"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
finish("imgseal-pack")
execute_process(COMMAND "${SEAL}" "${IMAGE}.part"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
finish("imgseal")
file(RENAME "${IMAGE}.part" "${IMAGE}")
string(STRIP "${lines}" lines)
message("${lines}")
