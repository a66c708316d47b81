# Every target of ours is built with these; warnings are errors.
add_library(tamblet_warnings INTERFACE)
target_compile_options(tamblet_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)
