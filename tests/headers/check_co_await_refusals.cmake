# cmake -DCXX=... -DCXX_ID=... -DSOURCE=... -DINCLUDE=... -P check_co_await_refusals.cmake
# Under g++ each refused form fails to compile with the message naming the fix; the bound form
# compiles. Other compilers destroy such temporaries once: every form compiles there.
set(fix "Bind the callable to a variable first")
foreach(form RANGE 0 7)
  execute_process(
    COMMAND ${CXX} -std=c++20 -fsyntax-only -I${INCLUDE} -DFORM=${form} ${SOURCE}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(form EQUAL 0 OR NOT CXX_ID STREQUAL "GNU")
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "form ${form} should compile:\n${out}")
    endif()
  elseif(status EQUAL 0)
    message(FATAL_ERROR "form ${form} compiled; g++ would destroy its callable twice")
  elseif(NOT out MATCHES "${fix}")
    message(FATAL_ERROR "form ${form} refused without naming the fix:\n${out}")
  endif()
endforeach()
