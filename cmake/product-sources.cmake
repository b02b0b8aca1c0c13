# What tools/static-checks.sh checks, taken from a configured build:
#
#   cmake -DBUILD=<build folder> -P cmake/product-sources.cmake
#
# writes into the build folder
#   static-check-sources.txt   every source its compile_commands.json names
#                              in a product folder or the test doubles
#                              (cmake/sources.cmake), relative to the
#                              repository, one a line, sorted, each once;
#   static-check-headers.txt   the header filter for clang-tidy: the
#                              headers of the same folders.
# Tests and benchmarks lean on framework macros and are left to the
# compiler's warnings.
cmake_minimum_required(VERSION 3.25)

if(NOT BUILD OR NOT EXISTS "${BUILD}/compile_commands.json")
  message(FATAL_ERROR "usage: cmake -DBUILD=<folder with compile_commands.json> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
get_filename_component(root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(folders ${QUON_PRODUCT_FOLDERS} ${QUON_FAKES_FOLDER})

file(READ "${BUILD}/compile_commands.json" commands)
string(JSON count LENGTH "${commands}")
set(sources)
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON path GET "${commands}" ${i} file)
    file(RELATIVE_PATH path "${root}" "${path}")
    foreach(folder ${folders})
      string(FIND "${path}" "${folder}/" at)
      if(at EQUAL 0)
        list(APPEND sources "${path}")
        break()
      endif()
    endforeach()
  endforeach()
endif()
list(REMOVE_DUPLICATES sources)
list(SORT sources)
set(text "")
foreach(path ${sources})
  string(APPEND text "${path}\n")
endforeach()
file(WRITE "${BUILD}/static-check-sources.txt" "${text}")

list(JOIN folders "|" alternatives)
file(WRITE "${BUILD}/static-check-headers.txt" "/(${alternatives})/[^/]*\\.h$\n")
