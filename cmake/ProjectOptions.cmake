# Compiler settings for the project's own targets.

# Warnings on (and fatal with YVK_WERROR) for code we write; the dependency's
# headers come in as system headers and stay quiet.
function(yvk_project_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${YVK_WERROR}>:-Werror>)
endfunction()

# YVK_SANITIZER_FLAGS: what a program built outside the project's targets
# needs on its compile and link line to load a sanitizer build of the
# libraries (for example a plain C host compiled by a test against the
# installed library); empty without a sanitizer.
if(YVK_SANITIZE STREQUAL "address")
  set(YVK_SANITIZER_FLAGS -fsanitize=address,undefined)
  add_compile_options(${YVK_SANITIZER_FLAGS} -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(${YVK_SANITIZER_FLAGS})
  # GCC's flow analysis under ASan sees maybe-uninitialized members inside
  # libstdc++ (<regex>'s std::function states); the other builds keep the
  # warning for the project's own code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
elseif(YVK_SANITIZE STREQUAL "thread")
  set(YVK_SANITIZER_FLAGS -fsanitize=thread)
  add_compile_options(${YVK_SANITIZER_FLAGS} -fno-omit-frame-pointer)
  add_link_options(${YVK_SANITIZER_FLAGS})
elseif(YVK_SANITIZE STREQUAL "")
  set(YVK_SANITIZER_FLAGS "")
else()
  message(FATAL_ERROR "YVK_SANITIZE must be empty, 'address' or 'thread'")
endif()

# YVK_FUZZ: the fuzz targets' build.  The project's own code gets libFuzzer's
# coverage and ASan+UBSan; only the targets themselves link libFuzzer (see
# tests/fuzz).  The system's live555 and FFmpeg stay as they are.
if(YVK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT YVK_SANITIZE STREQUAL "")
    message(FATAL_ERROR "YVK_FUZZ needs clang (CC=clang CXX=clang++) and no YVK_SANITIZE")
  endif()
  set(YVK_SANITIZER_FLAGS -fsanitize=address,undefined)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(${YVK_SANITIZER_FLAGS})
endif()
