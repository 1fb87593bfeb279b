set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Applied to every target of the project through tessaro_options.
add_library(tessaro_options INTERFACE)
target_compile_options(tessaro_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2
  -Werror=switch -Werror=return-type)
if(TESSARO_WERROR)
  target_compile_options(tessaro_options INTERFACE -Werror)
endif()
