# A board driver is built twice from one source list:
#   - a host shared object, <name>.so in HOST_IMAGE_DIR, that the emulator loads like an image;
#   - a PE32+ boot-service driver, <name>.efi in FIRMWARE_DIR, built with clang++ and lld-link
#     for x86_64-unknown-windows (a Windows toolchain cannot be the host project's compiler).

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

include(CheckCXXCompilerFlag)
check_cxx_compiler_flag(-fno-gnu-unique HOST_HAS_NO_GNU_UNIQUE)

function(add_board_driver NAME)
  cmake_parse_arguments(ARG "" "ENTRY" "SOURCES;INCLUDES" ${ARGN})

  # ---- Host shared object ----
  add_library(${NAME} MODULE ${ARG_SOURCES})
  set_target_properties(${NAME} PROPERTIES
      PREFIX "" SUFFIX ".so"
      LIBRARY_OUTPUT_DIRECTORY ${HOST_IMAGE_DIR}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${NAME} PRIVATE ${ARG_INCLUDES})
  target_compile_options(${NAME} PRIVATE ${DRIVER_COMMON_FLAGS} ${HOST_DRIVER_FLAGS})
  if(HOST_HAS_NO_GNU_UNIQUE)
    # A unique symbol would keep the object loaded after dlclose, and its globals with it.
    target_compile_options(${NAME} PRIVATE -fno-gnu-unique)
  endif()
  # Symbols resolve inside the image first, as they do in a PE image.
  target_link_options(${NAME} PRIVATE -Wl,-Bsymbolic ${HOST_DRIVER_LINK_FLAGS})

  add_firmware_image(${NAME} ENTRY ${ARG_ENTRY} SUBSYSTEM efi_boot_service_driver
      SOURCES ${ARG_SOURCES} INCLUDES ${ARG_INCLUDES} BUDGET ${BOARD_IMAGE_BUDGET})
  set_property(GLOBAL APPEND PROPERTY BOARD_DRIVERS ${NAME})
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
  cmake_parse_arguments(ARG "" "ENTRY;SUBSYSTEM;OUTPUT_DIR;BUDGET" "SOURCES;INCLUDES" ${ARGN})
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${FIRMWARE_DIR})
  endif()
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.efi.obj)
  set(include_flags)
  foreach(dir ${ARG_INCLUDES})
    list(APPEND include_flags -I${dir})
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
        COMMENT "Compiling ${stem}.cpp for ${NAME}.efi"
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
      COMMENT "Linking ${NAME}.efi"
      VERBATIM)
  add_custom_target(${NAME}_efi ALL DEPENDS ${image})
  # For links of the same objects in other layouts (tests/CMakeLists.txt).
  set_target_properties(${NAME}_efi PROPERTIES FIRMWARE_OBJECTS "${objects}"
      FIRMWARE_ENTRY ${ARG_ENTRY} FIRMWARE_SUBSYSTEM ${ARG_SUBSYSTEM})
endfunction()
