# Every target of the project is built with these warnings, and warnings are errors.
add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)
