# Every target of the project is built with these warnings. The presets and CI make them errors
# (ZIPSALVAGE_WERROR); a packager's plain build with another compiler or other flags does not
# fail on a warning that compiler adds.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
option(ZIPSALVAGE_WERROR "Treat compiler warnings as errors (on in every preset and in CI)" OFF)
if(ZIPSALVAGE_WERROR)
  add_compile_options(-Werror)
endif()

# With link-time optimisation the linker sees every file at once and reports two different
# definitions of one inline name (-Wodr), which otherwise silently picks one of them.
option(ZIPSALVAGE_LINK_CHECKS "Treat link-time warnings (such as -Wodr) as errors" OFF)
if(ZIPSALVAGE_LINK_CHECKS)
  add_link_options(-Werror -Wodr)
endif()
