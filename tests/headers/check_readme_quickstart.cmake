# cmake -DREADME=... -DSOURCE=... -P check_readme_quickstart.cmake
# The README's quick start is the first C++ block of the README, and must be the compiled
# example's text exactly, so that what a new user copies is what builds.
file(READ ${README} readme)
file(READ ${SOURCE} source)
string(FIND "${readme}" "```cpp\n" start)
if(start LESS 0)
  message(FATAL_ERROR "no C++ block in ${README}")
endif()
math(EXPR start "${start} + 7")
string(SUBSTRING "${readme}" ${start} -1 rest)
string(FIND "${rest}" "```\n" end)
string(SUBSTRING "${rest}" 0 ${end} block)
if(NOT block STREQUAL source)
  message(FATAL_ERROR "the README's quick start differs from ${SOURCE}: copy the file into it")
endif()
