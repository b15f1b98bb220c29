# Fails when an engine source includes anything but the C++ standard library,
# the engine's own headers, the platform's service headers or the base
# headers below both. Run as a build step (cmake -P) before the engine is
# compiled, again whenever an engine file changes.
#   -DENGINE_DIR=... -DSTAMP=...
cmake_minimum_required(VERSION 3.25)
set(STANDARD_HEADERS
  algorithm array atomic bit cassert cctype cerrno charconv chrono cinttypes
  climits cmath compare concepts cstddef cstdint cstdio cstdlib
  cstring deque exception functional initializer_list
  iomanip ios iosfwd istream iterator limits list map memory new
  numeric optional ostream queue ratio set span sstream stdexcept
  string string_view system_error tuple type_traits unordered_map
  unordered_set utility variant vector)
set(SERVICE_HEADERS fs.h http.h digest.h signature.h)
set(BASE_HEADERS failure.h file_names.h ascii.h)

file(GLOB engine_files ${ENGINE_DIR}/*.cpp ${ENGINE_DIR}/*.h)
set(own_headers)
foreach(f IN LISTS engine_files)
  get_filename_component(name ${f} NAME)
  if(name MATCHES "\\.h$")
    list(APPEND own_headers ${name})
  endif()
endforeach()

set(problems)
foreach(f IN LISTS engine_files)
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "<([^>]+)>")
      if(NOT CMAKE_MATCH_1 IN_LIST STANDARD_HEADERS)
        list(APPEND problems "${f}: <${CMAKE_MATCH_1}> is not a C++ standard header the engine may use")
      endif()
    elseif(line MATCHES "\"([^\"]+)\"")
      set(name ${CMAKE_MATCH_1})
      if(NOT name IN_LIST own_headers AND NOT name IN_LIST SERVICE_HEADERS AND NOT name IN_LIST BASE_HEADERS)
        list(APPEND problems "${f}: \"${name}\" is neither an engine, a service nor a base header")
      endif()
    else()
      list(APPEND problems "${f}: cannot read the include line: ${line}")
    endif()
  endforeach()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "The engine is portable C++ over the platform's service headers:\n  ${text}")
endif()
file(TOUCH ${STAMP})
