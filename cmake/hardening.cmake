# Builds for finding faults rather than for use. Included at the end of the
# top-level CMakeLists.txt, so that it reaches every target defined there.
#
#   ANNAPPLY_SANITIZE  every target with AddressSanitizer and
#                      UndefinedBehaviorSanitizer; any report ends the program

option(ANNAPPLY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# Gives target t the sanitizers. Called for every target defined so far.
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
endfunction()

get_property(hardening_targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
foreach(t IN LISTS hardening_targets)
  harden_target(${t})
endforeach()
