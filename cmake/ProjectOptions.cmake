# Compiler settings for the project's own targets.

# Warnings on (and fatal with YVK_WERROR) for code we write; the dependency's
# headers come in as system headers and stay quiet.
function(yvk_project_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${YVK_WERROR}>:-Werror>)
endfunction()

if(YVK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(YVK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT YVK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "YVK_SANITIZE must be empty, 'address' or 'thread'")
endif()
