// No include guard: opens every header that names the log levels. A build may define DEBUG,
// INFO, WARNING, ERROR or CRITICAL as macros (-DDEBUG is common); they are set aside here and
// given back by level_macros_pop.hpp at the end of the header.
#pragma push_macro("DEBUG")
#pragma push_macro("INFO")
#pragma push_macro("WARNING")
#pragma push_macro("ERROR")
#pragma push_macro("CRITICAL")
#undef DEBUG
#undef INFO
#undef WARNING
#undef ERROR
#undef CRITICAL
