# Build settings shared by every target of the project.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(LUMOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # One file to copy: libgcc, libstdc++ and winpthread are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
else()
  # Keeps dlclose able to unload the library (no STB_GNU_UNIQUE symbols).
  add_compile_options(-fno-gnu-unique)
endif()

# Narrow literals of the library and the client hold Shift-JIS bytes.
function(lumox_shift_jis target)
  target_compile_options(${target} PRIVATE -finput-charset=UTF-8 -fexec-charset=CP932)
endfunction()
