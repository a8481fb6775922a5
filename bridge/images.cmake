# Firmware images embedded in the driver. By default the driver carries built-in images (a
# descriptor table assembled from its layout and a stand-in program). Give the files delivered
# with the stick's firmware to embed them instead:
#   -DKVSBDA_ROM_IMAGE=/path/rom.dat -DKVSBDA_FW_IMAGE=/path/fw.bin
# Each file is checked here for its size and for the places the driver relies on; configuration
# fails with a message naming the file otherwise. The result is the header
# <build>/generated/bridge/delivered_images.h, found through the directory's include path.

set(KVSBDA_ROM_IMAGE "" CACHE FILEPATH "rom.dat delivered with the stick's firmware (512 bytes)")
set(KVSBDA_FW_IMAGE "" CACHE FILEPATH "fw.bin delivered with the stick's firmware (3117 bytes)")

set(KVSBDA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# Reads `path` into a list of decimal byte values and checks its size.
function(kvsbda_read_image path expected_size out_bytes)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "Firmware image '${path}' does not exist.")
  endif()
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  if(NOT size EQUAL expected_size)
    message(FATAL_ERROR
      "Firmware image '${path}' has ${size} bytes; the driver expects exactly ${expected_size}.")
  endif()
  string(REGEX MATCHALL ".." pairs "${hex}")
  set(bytes "")
  foreach(pair IN LISTS pairs)
    math(EXPR value "0x${pair}")
    list(APPEND bytes ${value})
  endforeach()
  set(${out_bytes} "${bytes}" PARENT_SCOPE)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
endfunction()

# rom.dat: the second descriptor set (offset 0x100) must start with a device descriptor of vendor
# 0x3344, and its string descriptor 2 (the fourth descriptor from set offset 0xB4, found by
# walking the lengths) must be 06 03 47 47 47 47: the firmware-present probe looks for "GGG".
function(kvsbda_check_rom_image path bytes)
  list(GET bytes 256 length)
  list(GET bytes 257 type)
  list(GET bytes 264 vendor_low)
  list(GET bytes 265 vendor_high)
  if(NOT length EQUAL 18 OR NOT type EQUAL 1 OR NOT vendor_low EQUAL 0x44
     OR NOT vendor_high EQUAL 0x33)
    message(FATAL_ERROR
      "Firmware image '${path}' has no device descriptor of vendor 0x3344 at offset 0x100.")
  endif()
  set(at 436)  # 0x100 + 0xB4
  foreach(index RANGE 1)
    if(at GREATER 461)
      break()
    endif()
    list(GET bytes ${at} step)
    if(step EQUAL 0)
      break()
    endif()
    math(EXPR at "${at} + ${step}")
  endforeach()
  set(expected 6 3 71 71 71 71)
  set(found "")
  if(at LESS_EQUAL 456)  # the string area ends at 0x100 + 0xCE = 462
    math(EXPR last "${at} + 5")
    foreach(i RANGE ${at} ${last})
      list(GET bytes ${i} value)
      list(APPEND found ${value})
    endforeach()
  endif()
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR
      "Firmware image '${path}': string descriptor 2 of the second set is not 06 03 47 47 47 47.")
  endif()
endfunction()

# Formats the byte list as a C++ array definition.
function(kvsbda_image_array name bytes out_text)
  set(text "inline constexpr unsigned char ${name}[] = {")
  set(column 0)
  foreach(value IN LISTS bytes)
    if(column EQUAL 0)
      string(APPEND text "\n   ")
    endif()
    string(APPEND text " ${value},")
    math(EXPR column "(${column} + 1) % 16")
  endforeach()
  string(APPEND text "\n};\n")
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

set(kvsbda_images_text "#pragma once\n// Generated from bridge/images.cmake at configure time.\n")
if(KVSBDA_ROM_IMAGE)
  kvsbda_read_image("${KVSBDA_ROM_IMAGE}" 512 rom_bytes)
  kvsbda_check_rom_image("${KVSBDA_ROM_IMAGE}" "${rom_bytes}")
  kvsbda_image_array(kDeliveredRomImage "${rom_bytes}" rom_text)
  string(APPEND kvsbda_images_text "#define KVSBDA_DELIVERED_ROM_IMAGE 1\n${rom_text}")
  message(STATUS "kvsbda: embedding rom.dat from ${KVSBDA_ROM_IMAGE}")
else()
  string(APPEND kvsbda_images_text "#define KVSBDA_DELIVERED_ROM_IMAGE 0\n")
endif()
if(KVSBDA_FW_IMAGE)
  kvsbda_read_image("${KVSBDA_FW_IMAGE}" 3117 fw_bytes)
  list(GET fw_bytes 0 first)
  if(NOT first EQUAL 2)
    message(FATAL_ERROR
      "Firmware image '${KVSBDA_FW_IMAGE}' does not begin with an 8051 long jump (0x02).")
  endif()
  kvsbda_image_array(kDeliveredFwImage "${fw_bytes}" fw_text)
  string(APPEND kvsbda_images_text "#define KVSBDA_DELIVERED_FW_IMAGE 1\n${fw_text}")
  message(STATUS "kvsbda: embedding fw.bin from ${KVSBDA_FW_IMAGE}")
else()
  string(APPEND kvsbda_images_text "#define KVSBDA_DELIVERED_FW_IMAGE 0\n")
endif()

# Rewrite only on change so that a reconfigure does not rebuild the driver.
file(CONFIGURE OUTPUT ${KVSBDA_GENERATED_DIR}/bridge/delivered_images.h
     CONTENT "${kvsbda_images_text}" @ONLY)
include_directories(${KVSBDA_GENERATED_DIR})
