# imgseal's CMake package, for firmware projects that cross-build: the
# host's programs as imported executables (imgseal::imgseal, imgseal::pack,
# imgseal::verify), imgseal_add_image(), which makes a sealed image of a
# firmware target, and imgseal_add_boot_check(), which builds the boot check
# from its sources with the project's own toolchain and flags.
# imgseal-firmware(7) shows them in use. Loading the package sets no flag,
# no policy and no variable of the project but imgseal_FOUND and the version.
#
# Bare-metal toolchain files hide /usr from package searches
# (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY); find the package with
#   find_package(imgseal 1.3 CONFIG REQUIRED NO_CMAKE_FIND_ROOT_PATH)
# or name this directory with -Dimgseal_DIR=.../share/imgseal/cmake.

# The functions keep the policies in force where they are defined: these,
# whatever the project's own.
cmake_policy(PUSH)
cmake_policy(VERSION 3.17...3.25)

include("${CMAKE_CURRENT_LIST_DIR}/imgsealTargets.cmake")

# imgseal_add_image(TARGET target [NAME name] [VERSION n] [ALIGN n]
#                   [SIGNATURE 55|AA] [IMAGE_TARGET name])
# Makes target.img, in the current binary directory (in its subdirectory of
# the configuration with a multi-config generator), from the executable
# target: its ELF file turned into a binary by the toolchain's
# objcopy -O binary (target.bin beside it), packed by imgseal-pack with the
# name (the target's by default), the version (header bytes 0-3, 0 by
# default), the alignment (2048 by default) and the signature byte (55 by
# default), then sealed. One custom target owns the file: IMAGE_TARGET,
# target_image by default, built by ALL; a target makes one image. Other
# targets depend on that one; in this directory, a custom command that
# names the image by its full path among its dependencies gets the
# dependency on it without asking, and never a rule of its own that would
# seal the file a second time. A name without its directory gets no such
# dependency from the Unix Makefiles.
function(imgseal_add_image)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;NAME;VERSION;ALIGN;SIGNATURE;IMAGE_TARGET" "")
  if(arg_UNPARSED_ARGUMENTS OR arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "imgseal_add_image: unknown or empty arguments: "
      "${arg_UNPARSED_ARGUMENTS} ${arg_KEYWORDS_MISSING_VALUES}")
  endif()
  if(NOT arg_TARGET)
    message(FATAL_ERROR "imgseal_add_image: no TARGET given")
  endif()
  if(NOT TARGET "${arg_TARGET}")
    message(FATAL_ERROR "imgseal_add_image: TARGET ${arg_TARGET} is not a target")
  endif()
  get_target_property(type "${arg_TARGET}" TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "imgseal_add_image: TARGET ${arg_TARGET} is a ${type}, not an executable")
  endif()
  # A second call would make the same file under a second target, which the
  # Unix Makefiles would run at once with the first: two seals of one file.
  get_target_property(owner "${arg_TARGET}" IMGSEAL_IMAGE_TARGET)
  if(NOT owner STREQUAL "owner-NOTFOUND")
    message(FATAL_ERROR "imgseal_add_image: TARGET ${arg_TARGET} already makes "
      "${arg_TARGET}.img, owned by ${owner}; a target makes one image: for a second one, "
      "link a second executable")
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "imgseal_add_image: the toolchain has no objcopy (CMAKE_OBJCOPY)")
  endif()
  if(NOT DEFINED arg_NAME)
    set(arg_NAME "${arg_TARGET}")
  endif()
  foreach(setting VERSION ALIGN SIGNATURE)
    if(NOT DEFINED arg_${setting})
      set(arg_${setting} "")
    elseif(NOT arg_${setting} MATCHES "^[0-9A-Za-z]+$")
      message(FATAL_ERROR "imgseal_add_image: ${setting} ${arg_${setting}} is not a number")
    endif()
  endforeach()
  if(NOT arg_IMAGE_TARGET)
    set(arg_IMAGE_TARGET "${arg_TARGET}_image")
  endif()

  # Each configuration of a multi-config generator has its own image, as it
  # has its own ELF file: one file for all would be left as the last
  # configuration built made it, whichever is built next.
  set(directory "${CMAKE_CURRENT_BINARY_DIR}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    if(CMAKE_VERSION VERSION_LESS 3.20)
      message(FATAL_ERROR "imgseal_add_image: a multi-config generator needs CMake 3.20 or later")
    endif()
    string(APPEND directory "/$<CONFIG>")
  endif()
  set(base "${directory}/${arg_TARGET}")

  # What the image is made with, in a file of its own, rewritten only when it
  # changes, so that a changed setting, objcopy or package makes the image
  # again. Every value goes in a bracket argument, which takes any text.
  set(options "")
  foreach(setting VERSION ALIGN SIGNATURE)
    if(NOT arg_${setting} STREQUAL "")
      string(TOLOWER "${setting}" option)
      string(REPLACE "version" "image-version" option "${option}")
      list(APPEND options "--${option}=${arg_${setting}}")
    endif()
  endforeach()
  _imgseal_bracket(name "${arg_NAME}")
  _imgseal_bracket(options "${options}")
  _imgseal_bracket(objcopy "${CMAKE_OBJCOPY}")
  _imgseal_bracket(package "${CMAKE_CURRENT_FUNCTION_LIST_DIR}")
  string(CONCAT settings "set(NAME ${name})\nset(OPTIONS ${options})\n"
    "set(OBJCOPY ${objcopy})\nset(PACKAGE ${package})\n")
  set(settings_file "${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}.img.settings")
  set(written "")
  if(EXISTS "${settings_file}")
    file(READ "${settings_file}" written)
  endif()
  if(NOT written STREQUAL settings)
    file(WRITE "${settings_file}" "${settings}")
  endif()

  # The target runs at every build and makes the image only when it is
  # older than what it is made from; BYPRODUCTS makes the target the file's
  # one owner, for every generator.
  add_custom_target("${arg_IMAGE_TARGET}" ALL
    COMMAND "${CMAKE_COMMAND}" "-DELF=$<TARGET_FILE:${arg_TARGET}>" "-DBINARY=${base}.bin"
      "-DIMAGE=${base}.img" "-DSETTINGS=${settings_file}"
      "-DPACK=$<TARGET_FILE:imgseal::pack>" "-DSEAL=$<TARGET_FILE:imgseal::imgseal>"
      -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/imgseal_image.cmake"
    BYPRODUCTS "${base}.img" "${base}.bin"
    VERBATIM)
  add_dependencies("${arg_IMAGE_TARGET}" "${arg_TARGET}")
  set_target_properties("${arg_TARGET}" PROPERTIES IMGSEAL_IMAGE_TARGET "${arg_IMAGE_TARGET}")
endfunction()

# _imgseal_bracket(variable text): text as a bracket argument, whose
# brackets hold as many = as it takes for the closing one not to occur in
# the text, nor to begin at a ] that ends it. The newline after the opening
# bracket, which CMake drops, keeps one that begins the text.
function(_imgseal_bracket variable text)
  set(equals "")
  while("${text}]" MATCHES "]${equals}]")
    string(APPEND equals "=")
  endwhile()
  set(${variable} "[${equals}[\n${text}]${equals}]" PARENT_SCOPE)
endfunction()

# imgseal_add_boot_check(name)
# A static library, name, of the boot check (imgseal_check(3)), compiled
# from share/imgseal/boot/ by the project's compiler with its flags, and
# -ffreestanding; link the boot loader with it, and set its options as any
# target's, with target_compile_options(name PRIVATE ...).
function(imgseal_add_boot_check name)
  if(ARGN)
    message(FATAL_ERROR "imgseal_add_boot_check: unknown arguments: ${ARGN}")
  endif()
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "C" IN_LIST languages)
    message(FATAL_ERROR "imgseal_add_boot_check: the boot check is C; enable C in project()")
  endif()
  get_filename_component(boot "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../boot" ABSOLUTE)
  add_library("${name}" STATIC "${boot}/imgseal_check.c")
  target_include_directories("${name}" PUBLIC "${boot}")
  target_compile_features("${name}" PRIVATE c_std_99)
  # The routine calls nothing, not even memset, only where the compiler
  # knows that there may be no C library: without this, GCC makes a
  # zeroing loop a call to memset.
  target_compile_options("${name}" PRIVATE -ffreestanding)
endfunction()

cmake_policy(POP)
