#pragma once
// Number texts shared by URLs, request bodies, log lines and JSON answers.

#include <optional>
#include <string>
#include <string_view>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::platform {

// The shortest decimal that reads back as the same double, with ".0" for whole numbers,
// exponent form below 1e-4 and from 1e16 ("1e-05", "1.5e+16"), and "nan", "inf", "-inf".
TOLBU_API std::string number_text(double value);

// Appends number_text(value) to out without a temporary string.
TOLBU_API void append_number_text(std::string& out, double value);

// A number that arrives as text ("12.5", " -3e2 ", "+7"): decimal only, read exactly and
// independently of the process locale. Blanks around it are allowed; hexadecimal ("0x10"),
// "inf", "nan", out-of-range values and anything else give nothing.
TOLBU_API std::optional<double> read_decimal(std::string_view text) noexcept;

}  // namespace tolbu_sdk::platform
