# Builds for finding faults rather than for use: the sanitizers and the fuzz
# targets. Included at the end of the top-level CMakeLists.txt, so that it
# reaches every target defined there.
#
#   ANNAPPLY_SANITIZE  every target with AddressSanitizer and
#                      UndefinedBehaviorSanitizer; any report ends the program
#   ANNAPPLY_FUZZ      the libFuzzer targets of tests/fuzz (clang only)

option(ANNAPPLY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ANNAPPLY_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(ANNAPPLY_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ANNAPPLY_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

# Gives target t the sanitizers and, for a library, the coverage the fuzzers
# learn from. Called for every target here and for the fuzz targets.
function(harden_target t)
  get_target_property(type ${t} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY|SHARED_LIBRARY)$")
    return()
  endif()
  if(ANNAPPLY_SANITIZE)
    # -fno-sanitize-recover: undefined behaviour ends the program like a
    # memory error does, instead of printing a line and going on.
    target_compile_options(${t} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${t} PRIVATE -fsanitize=address,undefined)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${t} PRIVATE ${PROJECT_SOURCE_DIR}/tests/sanitize/default_options.cc)
    endif()
  endif()
  if(ANNAPPLY_FUZZ)
    # Every program links the runtime that the libraries' coverage calls.
    if(type STREQUAL "STATIC_LIBRARY")
      target_compile_options(${t} PRIVATE -fsanitize=fuzzer-no-link)
    elseif(type STREQUAL "EXECUTABLE" AND NOT t MATCHES "^fuzz_")
      target_link_options(${t} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  endif()
endfunction()

get_property(hardening_targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
foreach(t IN LISTS hardening_targets)
  harden_target(${t})
endforeach()

if(ANNAPPLY_FUZZ)
  add_subdirectory(tests/fuzz)
endif()
