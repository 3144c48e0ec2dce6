# Interface targets that every Kestrane target links PRIVATE, so that flags stay
# out of the global CMAKE_CXX_FLAGS and each one is stated once with its reason.

add_library(kestrane_warnings INTERFACE)
target_compile_options(kestrane_warnings INTERFACE
    -Wall                  # the common set
    -Wextra                # unused parameters, sign mismatches in comparisons, ...
    -Wpedantic             # no compiler extensions slip into portable code
    -Wshadow               # a local hiding a member is a classic source of wrong results
    -Wnon-virtual-dtor     # classes deleted through a base must say so
    -Wold-style-cast       # casts stand out and say which kind they are
    -Wcast-align           # misaligned reads of wire data
    -Woverloaded-virtual   # a hidden virtual is almost always a mistake
    -Wformat=2             # printf-style composition of datagrams must match its arguments
    -Wimplicit-fallthrough # a missing break in a switch over message types
)
if(KESTRANE_WARNINGS_AS_ERRORS)
    target_compile_options(kestrane_warnings INTERFACE -Werror)
endif()

add_library(kestrane_options INTERFACE)
target_compile_features(kestrane_options INTERFACE cxx_std_20)
target_include_directories(kestrane_options INTERFACE ${PROJECT_SOURCE_DIR})
if(KESTRANE_SANITIZERS)
    list(JOIN KESTRANE_SANITIZERS "," sanitizer_list)
    target_compile_options(kestrane_options INTERFACE
        -fsanitize=${sanitizer_list} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(kestrane_options INTERFACE -fsanitize=${sanitizer_list})
endif()
