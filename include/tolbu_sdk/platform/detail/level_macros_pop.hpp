// No include guard: closes every header that opened with level_macros_push.hpp.
#pragma pop_macro("DEBUG")
#pragma pop_macro("INFO")
#pragma pop_macro("WARNING")
#pragma pop_macro("ERROR")
#pragma pop_macro("CRITICAL")
