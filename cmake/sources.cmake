# Where QUON's sources live, named once for the main build, the fuzz
# targets' project, the unit tests and the static checks (which read the
# compiled files of these folders from compile_commands.json through
# cmake/product-sources.cmake).
#
#   logic      what runs the same over every provider: the record, the
#              loader and main loop, the compiler, the threads' steps, the
#              logical ports, traces, testbenches, publishing, checking.
#              driver/main.cpp
#              is the entry point, not logic.
#   providers  platform/ (the services the shipped programs use, with the
#              real port registers) and sim/ (the simulated PC of quon-sim).
#   product    all that ships: the logic, the providers and quon-monitor.
#
# The test doubles (tests/fakes/) are no provider a user runs; the unit
# tests, the fuzz targets and the static checks name them beside these.
set(QUON_LOGIC_FOLDERS core driver compiler executor port text trace testbench publish check
  service realtime latency)
set(QUON_PROVIDER_FOLDERS platform sim)
# The readers of a run's region: the monitor, and the bridges to MQTT and
# Modbus (whose logic builds without their network libraries).
set(QUON_PRODUCT_FOLDERS ${QUON_LOGIC_FOLDERS} ${QUON_PROVIDER_FOLDERS} monitor mqtt modbus)
set(QUON_FAKES_FOLDER tests/fakes)

# quon_glob(<var> <root> <pattern> <folder>...): the files of each folder
# under root whose names match pattern, found again at every build
# (CONFIGURE_DEPENDS), so a new file needs no edit here.
function(quon_glob var root pattern)
  set(globs)
  foreach(folder ${ARGN})
    list(APPEND globs ${root}/${folder}/${pattern})
  endforeach()
  file(GLOB found CONFIGURE_DEPENDS ${globs})
  set(${var} ${found} PARENT_SCOPE)
endfunction()

# quon_logic_sources(<var> <root>): the logic's sources, without the entry
# point.
function(quon_logic_sources var root)
  quon_glob(sources ${root} *.cpp ${QUON_LOGIC_FOLDERS})
  list(REMOVE_ITEM sources ${root}/driver/main.cpp)
  set(${var} ${sources} PARENT_SCOPE)
endfunction()
