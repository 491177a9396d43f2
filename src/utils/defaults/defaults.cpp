#include "tolbu_sdk/utils/defaults.hpp"

namespace tolbu_sdk::utils {

const char* const DEFAULTS_DOC =
    "Default configuration for Tolbu Algo SDK.\n"
    "\n"
    "Contains hardcoded server URLs - no environment variables needed.\n";

}  // namespace tolbu_sdk::utils
