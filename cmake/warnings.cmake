# Every target of the project is built with these warnings, and warnings are errors.
add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)

# With link-time optimisation the linker sees every file at once and reports two different
# definitions of one inline name (-Wodr), which otherwise silently picks one of them.
option(ZIPSALVAGE_LINK_CHECKS "Treat link-time warnings (such as -Wodr) as errors" OFF)
if(ZIPSALVAGE_LINK_CHECKS)
  add_link_options(-Werror -Wodr)
endif()
