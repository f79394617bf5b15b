# The profile-guided build. At configure time an instrumented core and the
# training driver (tools/pgo/train.cpp) are built in ${VELKORA_PGO_DIR}/train
# with -fprofile-generate, and the driver plays the cartridges that
# tools/pgo/cartridges.py assembles; the core and the modules are then
# compiled with that profile and linked with link-time optimisation. The
# training is redone only when something it depends on changes. Any failure
# warns and leaves the plain build.
#
# velkora_profile_guided(READY) sets READY to TRUE once the profile is in
# place; the caller then adds velkora_use_profile() before its targets.

set(VELKORA_PGO_DIR ${CMAKE_BINARY_DIR}/pgo)
set(VELKORA_PGO_PROFILE ${VELKORA_PGO_DIR}/profile)
# Written after each training: the objects depend on it, so a new profile rebuilds them all.
set(VELKORA_PGO_KEY ${VELKORA_PGO_DIR}/profile.key)
set(VELKORA_PGO_TIMEOUT 900 CACHE STRING "Seconds the training run may take before the plain build is used")
mark_as_advanced(VELKORA_PGO_TIMEOUT)

# ":" and the end of a tool's output, for a warning; "" when it printed nothing.
function(_velkora_tail text out)
  string(STRIP "${text}" text)
  string(LENGTH "${text}" length)
  if(length EQUAL 0)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  if(length GREATER 1500)
    math(EXPR start "${length} - 1500")
    string(SUBSTRING "${text}" ${start} -1 text)
    set(text "...${text}")
  endif()
  string(REPLACE "\n" "\n    " text "${text}")
  set(${out} ":\n    ${text}" PARENT_SCOPE)
endfunction()

# Everything the profile follows from: sources, the training inputs, the compiler and its flags.
function(_velkora_profile_inputs out_files out_key)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/src/*.cpp ${CMAKE_SOURCE_DIR}/src/*.h
    ${CMAKE_SOURCE_DIR}/tools/pgo/*.cpp ${CMAKE_SOURCE_DIR}/tools/pgo/*.py
    ${CMAKE_SOURCE_DIR}/demo/*.oph ${CMAKE_SOURCE_DIR}/demo/*.py)
  list(FILTER files EXCLUDE REGEX "/src/bindings/")
  list(APPEND files ${CMAKE_SOURCE_DIR}/tests/python/nesrom.py ${CMAKE_SOURCE_DIR}/CMakeLists.txt
       ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  list(SORT files)
  set(key "${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_VERSION} ${CMAKE_BUILD_TYPE} ${CMAKE_CXX_FLAGS}\n")
  foreach(file ${files})
    file(SHA256 ${file} hash)
    file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR} ${file})
    string(APPEND key "${hash} ${name}\n")
  endforeach()
  set(${out_files} ${files} PARENT_SCOPE)
  set(${out_key} "${key}" PARENT_SCOPE)
endfunction()

# Sets `error` to what went wrong, or to "" once ${VELKORA_PGO_PROFILE} holds a fresh profile.
function(_velkora_train_profile key error)
  set(${error} "" PARENT_SCOPE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(${error} "the compiler is ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}, and the training step needs GCC" PARENT_SCOPE)
    return()
  endif()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fprofile-use=${VELKORA_PGO_DIR}/none -fprofile-partial-training -fprofile-prefix-path=${CMAKE_BINARY_DIR} -Wno-missing-profile")
  check_cxx_source_compiles("int main() { return 0; }" VELKORA_COMPILER_TAKES_PROFILES)
  if(NOT VELKORA_COMPILER_TAKES_PROFILES)
    set(${error} "${CMAKE_CXX_COMPILER} refuses ${CMAKE_REQUIRED_FLAGS} (GCC 11 or newer takes them)" PARENT_SCOPE)
    return()
  endif()
  include(CheckIPOSupported)
  check_ipo_supported(RESULT ipo OUTPUT ipo_output LANGUAGES CXX)
  if(NOT ipo)
    _velkora_tail("${ipo_output}" tail)
    set(${error} "link-time optimisation is not available${tail}" PARENT_SCOPE)
    return()
  endif()
  if(NOT Python_EXECUTABLE)
    find_package(Python 3 COMPONENTS Interpreter)
  endif()
  if(NOT Python_EXECUTABLE)
    set(${error} "no Python interpreter to assemble the training cartridges" PARENT_SCOPE)
    return()
  endif()

  set(cartridges ${VELKORA_PGO_DIR}/cartridges)
  execute_process(
    COMMAND ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/pgo/cartridges.py ${cartridges}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    _velkora_tail("${output}" tail)
    set(${error} "the training cartridges could not be assembled (tools/pgo/cartridges.py: ${result})${tail}" PARENT_SCOPE)
    return()
  endif()

  # The instrumented build: the same compiler and flags, so the profile fits the objects built here.
  set(train ${VELKORA_PGO_DIR}/train)
  set(generator -G ${CMAKE_GENERATOR})
  if(CMAKE_MAKE_PROGRAM)
    list(APPEND generator -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM})
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${train} ${generator}
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DVELKORA_BUILD_MODULE=OFF -DVELKORA_BUILD_TESTS=OFF
      -DVELKORA_PGO=OFF -DVELKORA_PGO_GENERATE=${VELKORA_PGO_PROFILE}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0)
    execute_process(
      COMMAND ${CMAKE_COMMAND} --build ${train} --target velkora_pgo_train
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  endif()
  if(NOT result EQUAL 0)
    _velkora_tail("${output}" tail)
    set(${error} "the instrumented training driver did not build (in ${train})${tail}" PARENT_SCOPE)
    return()
  endif()

  # Counts add up across runs: each training starts from none.
  file(REMOVE_RECURSE ${VELKORA_PGO_PROFILE})
  file(REMOVE ${VELKORA_PGO_KEY})
  file(GLOB images ${cartridges}/board-*.nes)
  execute_process(
    COMMAND ${train}/velkora_pgo_train ${cartridges}/game.nes ${cartridges}/game-2p.nes ${images}
    TIMEOUT ${VELKORA_PGO_TIMEOUT}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(GLOB_RECURSE profiles ${VELKORA_PGO_PROFILE}/*.gcda)
  if(NOT result EQUAL 0 OR NOT profiles)
    _velkora_tail("${output}" tail)
    file(REMOVE_RECURSE ${VELKORA_PGO_PROFILE})
    set(${error} "the training run failed (${result})${tail}" PARENT_SCOPE)
    return()
  endif()
  string(STRIP "${output}" output)
  message(STATUS "velkora: ${output}")
  file(WRITE ${VELKORA_PGO_KEY} "${key}")
endfunction()

function(velkora_profile_guided ready)
  _velkora_profile_inputs(files key)
  # An edit to any of them configures again, and so trains again, before the next build.
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${files})
  set(trained "")
  if(EXISTS ${VELKORA_PGO_KEY})
    file(READ ${VELKORA_PGO_KEY} trained)
  endif()
  file(GLOB_RECURSE profiles ${VELKORA_PGO_PROFILE}/*.gcda)
  if(trained STREQUAL key AND profiles)
    message(STATUS "velkora: the training profile is up to date")
  else()
    message(STATUS "velkora: training the profile-guided build (VELKORA_PGO=OFF skips it)")
    _velkora_train_profile("${key}" error)
    if(error)
      message(WARNING "velkora: the profile-guided build is off: ${error}\n"
        "The plain build (-O2, no profile, no link-time optimisation of the core) is used instead; "
        "VELKORA_PGO=OFF (pip: -C cmake.define.VELKORA_PGO=OFF) skips the training step.")
      set(${ready} FALSE PARENT_SCOPE)
      return()
    endif()
  endif()
  set(${ready} TRUE PARENT_SCOPE)
endfunction()

# Compiles everything after this call with the profile and links it with
# link-time optimisation; the objects are rebuilt whenever the training is.
macro(velkora_use_profile)
  file(REAL_PATH ${CMAKE_BINARY_DIR} _velkora_build_dir)
  add_compile_options(-fprofile-use=${VELKORA_PGO_PROFILE} -fprofile-partial-training
    -fprofile-prefix-path=${_velkora_build_dir} -Wno-missing-profile)
  add_link_options(-fprofile-use=${VELKORA_PGO_PROFILE} -fprofile-partial-training -Wno-missing-profile)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
endmacro()

# Sources that flatten a function ([[gnu::flatten]]: every call in it inlined,
# callees of callees too). Across the whole program that inlines the rest of
# the machine into each such function: minutes of compile time and a much
# larger module. They are compiled without link-time optimisation, so their
# flattening stops at their own file, as in the plain build.
function(velkora_flattening_sources out)
  set(found "")
  foreach(source ${ARGN})
    file(STRINGS ${source} lines REGEX "gnu::flatten")
    if(lines)
      list(APPEND found ${source})
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
