# cmake -DDOC=... -DSOURCE=... -P check_doc_block.cmake
# A document's first C++ block must be the compiled source's text exactly, so that what a
# reader copies is what builds.
file(READ ${DOC} doc)
file(READ ${SOURCE} source)
string(FIND "${doc}" "```cpp\n" start)
if(start LESS 0)
  message(FATAL_ERROR "no C++ block in ${DOC}")
endif()
math(EXPR start "${start} + 7")
string(SUBSTRING "${doc}" ${start} -1 rest)
string(FIND "${rest}" "```\n" end)
string(SUBSTRING "${rest}" 0 ${end} block)
if(NOT block STREQUAL source)
  message(FATAL_ERROR "the first C++ block of ${DOC} differs from ${SOURCE}: copy the file into it")
endif()
