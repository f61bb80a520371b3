# Build settings shared by every target of the project.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(LUMOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(LUMOX_FUZZ)
  # Every unit instrumented for libFuzzer; the fuzz targets add the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(LUMOX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # One file to copy: libgcc, libstdc++ and winpthread are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Keeps dlclose able to unload the library (no STB_GNU_UNIQUE symbols).
  add_compile_options(-fno-gnu-unique)
endif()

# Narrow literals of the library and the client hold Shift-JIS bytes.
# Clang (the fuzz build) knows no CP932 execution character set: there the literals stay
# UTF-8, which changes only the bytes of trace and message texts.
function(lumox_shift_jis target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -finput-charset=UTF-8 -fexec-charset=CP932)
  endif()
endfunction()
