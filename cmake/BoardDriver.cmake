# A board driver is built twice from one source list:
#   - a host shared object, <name>.so in HOST_IMAGE_DIR, that the emulator loads like an image;
#   - a PE32+ boot-service driver, <name>.efi in FIRMWARE_DIR, built with clang++ and lld-link
#     for x86_64-unknown-windows (a Windows toolchain cannot be the host project's compiler).
# Both come as RELEASE, the shipped build, and DEBUG (HOST_IMAGE_DIR/DEBUG, FIRMWARE_DIR/DEBUG),
# whose reports (support/DebugReport.h) go to the platform's status-code path: the same sources
# and flags, with BOARD_DEBUG_REPORTS and the name of the driver's FFS file.

find_program(FIRMWARE_CXX NAMES clang++ clang++-14 REQUIRED)
find_program(FIRMWARE_LINKER NAMES lld-link lld-link-14 REQUIRED)

# Flags both builds share: freestanding C++, no exceptions or RTTI, sized for flash.
set(DRIVER_COMMON_FLAGS
    -Os -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-stack-protector
    -mno-red-zone -fno-asynchronous-unwind-tables -fno-vectorize -fno-slp-vectorize
    -Wall -Wextra -Werror)

set(FIRMWARE_FLAGS
    --target=x86_64-unknown-windows -std=c++20 ${DRIVER_COMMON_FLAGS}
    -fshort-wchar -mno-stack-arg-probe -fno-unwind-tables
    -ffunction-sections -fdata-sections  # lets /opt:ref drop what an image never calls
    # DWARF for the symbol files, with the source tree named /BoardDrivers wherever it is built,
    # so a symbol file is as reproducible as its image (gdb maps the name back to the tree).
    # Functions carry their plain names: gdb cannot demangle the Microsoft linkage names.
    -g -gdwarf-4 -fdebug-compilation-dir=/BoardDrivers
    -fdebug-prefix-map=${CMAKE_SOURCE_DIR}=/BoardDrivers -mllvm -dwarf-linkage-names=Abstract)

# Routines the compiler may call that only the image must carry (the host has a C library).
set(FIRMWARE_ONLY_SOURCES ${CMAKE_SOURCE_DIR}/support/ImageRuntime.cpp)

# What a DEBUG image adds: the record its reports send.
set(DEBUG_IMAGE_SOURCES ${CMAKE_SOURCE_DIR}/support/DebugReport.cpp)

include(CheckCXXCompilerFlag)
check_cxx_compiler_flag(-fno-gnu-unique HOST_HAS_NO_GNU_UNIQUE)

function(add_board_driver NAME)
  cmake_parse_arguments(ARG "" "ENTRY" "SOURCES;INCLUDES" ${ARGN})
  add_driver_build(${NAME} TARGET ${NAME} ENTRY ${ARG_ENTRY} HOST_DIR ${HOST_IMAGE_DIR}
      FIRMWARE_DIR ${FIRMWARE_DIR} SOURCES ${ARG_SOURCES} INCLUDES ${ARG_INCLUDES}
      BUDGET ${BOARD_IMAGE_BUDGET})
  add_driver_build(${NAME} TARGET ${NAME}_debug DEBUG ENTRY ${ARG_ENTRY}
      HOST_DIR ${HOST_IMAGE_DIR}/DEBUG FIRMWARE_DIR ${FIRMWARE_DIR}/DEBUG
      SOURCES ${ARG_SOURCES} INCLUDES ${ARG_INCLUDES})
  set_property(GLOBAL APPEND PROPERTY BOARD_DRIVERS ${NAME})
endfunction()

# One build of a driver: the host object <NAME>.so in HOST_DIR (target TARGET) and the image
# <NAME>.efi in FIRMWARE_DIR (target TARGET_efi). DEBUG makes it a DEBUG build.
function(add_driver_build NAME)
  cmake_parse_arguments(ARG "DEBUG" "TARGET;ENTRY;HOST_DIR;FIRMWARE_DIR;BUDGET"
      "SOURCES;INCLUDES" ${ARGN})
  set(sources ${ARG_SOURCES})
  set(defines)
  if(ARG_DEBUG)
    list(APPEND sources ${DEBUG_IMAGE_SOURCES})
    set(defines BOARD_DEBUG_REPORTS "BOARD_DRIVER_FILE=\"${NAME}\"")
  endif()

  # ---- Host shared object ----
  add_library(${ARG_TARGET} MODULE ${sources})
  set_target_properties(${ARG_TARGET} PROPERTIES
      OUTPUT_NAME ${NAME} PREFIX "" SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${ARG_HOST_DIR}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${ARG_TARGET} PRIVATE ${ARG_INCLUDES})
  target_compile_definitions(${ARG_TARGET} PRIVATE ${defines})
  target_compile_options(${ARG_TARGET} PRIVATE ${DRIVER_COMMON_FLAGS} ${HOST_DRIVER_FLAGS})
  if(HOST_HAS_NO_GNU_UNIQUE)
    # A unique symbol would keep the object loaded after dlclose, and its globals with it.
    target_compile_options(${ARG_TARGET} PRIVATE -fno-gnu-unique)
  endif()
  # Symbols resolve inside the image first, as they do in a PE image.
  target_link_options(${ARG_TARGET} PRIVATE -Wl,-Bsymbolic ${HOST_DRIVER_LINK_FLAGS})

  add_firmware_image(${NAME} TARGET ${ARG_TARGET} ENTRY ${ARG_ENTRY}
      SUBSYSTEM efi_boot_service_driver OUTPUT_DIR ${ARG_FIRMWARE_DIR}
      SOURCES ${sources} INCLUDES ${ARG_INCLUDES} DEFINES ${defines} BUDGET ${ARG_BUDGET})
endfunction()

# The drop-in package of the images in DIR (fvpack): <driver>.depex, .ffs and .inf per driver
# and BoardDrivers.fv, made by target TARGET.
function(add_driver_package TARGET DIR)
  set(drivers ${ARGN})
  set(outputs ${DIR}/BoardDrivers.fv)
  set(images)
  foreach(driver ${drivers})
    list(APPEND outputs ${DIR}/${driver}.depex ${DIR}/${driver}.ffs ${DIR}/${driver}.inf)
    list(APPEND images ${DIR}/${driver}.efi)
  endforeach()
  add_custom_command(
      OUTPUT ${outputs}
      COMMAND fvpack ${DIR} ${drivers}
      DEPENDS fvpack ${images}
      COMMENT "Packing ${drivers} into ${DIR}/BoardDrivers.fv"
      VERBATIM)
  add_custom_target(${TARGET} ALL DEPENDS ${outputs})
endfunction()

# A PE32+ image for x86_64-unknown-windows: <name>.efi, its symbol file <name>.debug and its
# linker map, in OUTPUT_DIR (FIRMWARE_DIR unless given). The image is linked once, with DWARF,
# into the symbol file; tools/pecompact derives the shipped image from it by taking the debug
# information out and compacting the headers (no DOS program, ten data directories). Every
# section keeps its RVA and its bytes, so the symbol file's code is the image's code and the
# map's RVAs hold for both. The header's time stamp is fixed at 0 (lld-link's /Brepro would add
# a debug directory), so one commit gives the same bytes.
# With BUDGET, the build fails when the image passes that many bytes.
function(add_firmware_image NAME)
  cmake_parse_arguments(ARG "" "TARGET;ENTRY;SUBSYSTEM;OUTPUT_DIR;BUDGET"
      "SOURCES;INCLUDES;DEFINES" ${ARGN})
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${FIRMWARE_DIR})
  endif()
  if(NOT ARG_TARGET)
    set(ARG_TARGET ${NAME})
  endif()
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.efi.obj)
  set(build)
  if(NOT ARG_TARGET STREQUAL NAME)
    set(build " (${ARG_TARGET})")
  endif()
  set(include_flags)
  foreach(dir ${ARG_INCLUDES})
    list(APPEND include_flags -I${dir})
  endforeach()
  foreach(define ${ARG_DEFINES})
    list(APPEND include_flags -D${define})
  endforeach()
  set(objects)
  foreach(source ${ARG_SOURCES} ${FIRMWARE_ONLY_SOURCES})
    get_filename_component(stem ${source} NAME_WE)
    set(object ${objdir}/${stem}.obj)
    add_custom_command(
        OUTPUT ${object}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
        COMMAND ${FIRMWARE_CXX} ${FIRMWARE_FLAGS} ${include_flags}
                -MD -MF ${object}.d -c ${source} -o ${object}
        DEPENDS ${source}
        DEPFILE ${object}.d
        COMMENT "Compiling ${stem}.cpp for ${NAME}.efi${build}"
        VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(image ${ARG_OUTPUT_DIR}/${NAME}.efi)
  set(symbols ${ARG_OUTPUT_DIR}/${NAME}.debug)
  set(budget_check)
  if(ARG_BUDGET)
    set(budget_check COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DBUDGET=${ARG_BUDGET}
        -P ${CMAKE_SOURCE_DIR}/cmake/CheckImageBudget.cmake)
  endif()
  add_custom_command(
      OUTPUT ${image} ${symbols} ${ARG_OUTPUT_DIR}/${NAME}.map
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ARG_OUTPUT_DIR}
      COMMAND ${FIRMWARE_LINKER} /nologo /subsystem:${ARG_SUBSYSTEM}
              /entry:${ARG_ENTRY} /nodefaultlib /filealign:32 /opt:ref /opt:icf /debug:dwarf
              /timestamp:0
              /map:${ARG_OUTPUT_DIR}/${NAME}.map /out:${symbols} ${objects}
      COMMAND $<TARGET_FILE:pecompact> --strip-debug ${symbols} ${image}
      ${budget_check}
      DEPENDS ${objects} pecompact
      COMMENT "Linking ${NAME}.efi${build}"
      VERBATIM)
  add_custom_target(${ARG_TARGET}_efi ALL DEPENDS ${image})
  # For links of the same objects in other layouts (tests/CMakeLists.txt).
  set_target_properties(${ARG_TARGET}_efi PROPERTIES FIRMWARE_OBJECTS "${objects}"
      FIRMWARE_ENTRY ${ARG_ENTRY} FIRMWARE_SUBSYSTEM ${ARG_SUBSYSTEM})
endfunction()
