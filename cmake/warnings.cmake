# Warnings for our own targets; third-party headers come in as SYSTEM includes.
function(brenix_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wunused -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
    # GCC 12 reports impossible overlaps inside std::string at -O2 (GCC bug 105329).
    $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
endfunction()
