# Script mode: fails when any library in LIBS exports a symbol of Boost's own (our API may
# take Boost types as arguments); prints each library's count of exported symbols.
set(owned_by_boost "^[0-9a-f]+ [A-Za-z] (typeinfo name for |typeinfo for |vtable for |VTT for |guard variable for |non-virtual thunk to |virtual thunk to )?([A-Za-z_][A-Za-z_0-9:]*( const)?[*&]? )?boost::")
foreach(lib IN LISTS LIBS)
  execute_process(COMMAND ${NM} -D --defined-only -C "${lib}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${lib}: ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" symbols "${out}")
  list(LENGTH symbols total)
  set(boost_symbols "${symbols}")
  list(FILTER boost_symbols INCLUDE REGEX "${owned_by_boost}")
  # Asio's per-thread call stack is shared on purpose (see cmake/hide_boost.map).
  list(FILTER boost_symbols EXCLUDE REGEX " boost::asio::detail::(call_stack<.*>::top_|keyword_tss_ptr<.*>::value_)$")
  # Our own types' conversions to Boost types are ours (a debug build emits them out of line).
  list(FILTER boost_symbols EXCLUDE REGEX " tolbu_sdk::[A-Za-z_0-9:]*::operator boost::")
  list(LENGTH boost_symbols boost_count)
  get_filename_component(name "${lib}" NAME)
  message(STATUS "${name}: ${total} exported, ${boost_count} of Boost")
  if(boost_count GREATER 0)
    list(SUBLIST boost_symbols 0 5 shown)
    list(JOIN shown "\n  " shown)
    message(SEND_ERROR "${name} exports Boost symbols, e.g.\n  ${shown}")
  endif()
endforeach()
