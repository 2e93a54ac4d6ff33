# One place for warnings and floating-point flags.
#
# Streams are bit-exact only if the compiler never fuses a*b+c on its own:
# every fused multiply-add in the code is an explicit std::fma, every other
# sum and product is rounded on its own. -ffp-contract=off applies to every
# target of the project; -ffast-math is never used.
add_compile_options(-ffp-contract=off -fno-fast-math)

if(QUORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(quorvane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
endfunction()
